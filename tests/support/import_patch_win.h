// Test helper for Windows: replaces one imported function of this executable for a scope, by
// rewriting its entry in the import address table. Every call the program's own code (the static
// libraries under test included) makes to that function goes to the replacement, so a system
// call that cannot be made to fail for real (a screen copy refused by a locked workstation) can be
// made to fail through the real code path. Test thread only; not for functions in use on other
// threads.
#pragma once

#include <windows.h>

#include <cstring>

namespace tavrik::test {

class ScopedImportPatch {
 public:
  // `module` as the import table names it ("gdi32.dll", any case), `function` by name.
  ScopedImportPatch(const char* module, const char* function, void* replacement) {
    auto* base = reinterpret_cast<unsigned char*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return;
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         d->Name != 0; ++d) {
      if (_stricmp(reinterpret_cast<const char*>(base + d->Name), module) != 0) continue;
      auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
      auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
      for (; names->u1.AddressOfData != 0; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
        const auto* byName =
            reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
        if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
        slot_ = reinterpret_cast<void**>(&slots->u1.Function);
        original_ = *slot_;
        Write(replacement);
        return;
      }
    }
  }
  ~ScopedImportPatch() {
    if (slot_ != nullptr) Write(original_);
  }
  ScopedImportPatch(const ScopedImportPatch&) = delete;
  ScopedImportPatch& operator=(const ScopedImportPatch&) = delete;

  // False when the executable does not import the function from that module.
  bool Active() const { return slot_ != nullptr; }

 private:
  void Write(void* value) {
    DWORD old = 0;
    VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &old);
    *slot_ = value;
    VirtualProtect(slot_, sizeof(void*), old, &old);
  }

  void** slot_ = nullptr;
  void* original_ = nullptr;
};

}  // namespace tavrik::test
