// A DLL with nothing in it but one export, for tests that load a module from a chosen path.
extern "C" __declspec(dllexport) int TavrikTestModuleMarker() { return 1; }
