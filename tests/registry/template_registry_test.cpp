#include "registry/template_registry.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "registry/template_kind.h"

namespace tavrik {
namespace {

TEST(TemplateKindTest, KeyIsTheLowerCasedPrefixAndOnlyThreeKeysAreSpecial) {
  struct Case {
    const char* name;
    const char* key;
    TemplateKindId kind;
  } const cases[] = {
      {"T2", "t2", TemplateKindId::kT2},
      {"t2:left", "t2", TemplateKindId::kT2},
      {"T3:Big", "t3", TemplateKindId::kT3},
      {"t1x", "t1x", TemplateKindId::kGeneral},
      {"t20", "t20", TemplateKindId::kGeneral},
      {":t1", "", TemplateKindId::kGeneral},
      {"chest", "chest", TemplateKindId::kGeneral},
      // Only ASCII capitals change; the bytes of "É" (C3 89) pass untouched.
      {"\xC3\x89T1:x", "\xC3\x89t1", TemplateKindId::kGeneral},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TemplateKind(c.name), c.key) << c.name;
    EXPECT_EQ(ParseTemplateKind(TemplateKind(c.name)), c.kind) << c.name;
  }
  EXPECT_EQ(DisplayName("T2:left"), "T2");
  EXPECT_EQ(DisplayName(":x"), "");

  TemplateInfo info;
  info.name = "T3:ring";
  AssignKind(info);
  EXPECT_EQ(info.kindKey, "t3");
  EXPECT_TRUE(info.isT3);
  EXPECT_TRUE(info.knownKind);
  info.name = "t2x";
  AssignKind(info);
  EXPECT_FALSE(info.isT3);
  EXPECT_FALSE(info.knownKind);
}

TemplatePtr Named(const std::string& name) {
  auto info = std::make_shared<TemplateInfo>();
  info->name = name;
  return info;
}

TEST(TemplateRegistryTest, KeysAreExactAndSnapshotsKeepReplacedAndRemovedRecords) {
  TemplateRegistry registry;
  const TemplatePtr first = Named("Icon");
  bool seenExisted = true;
  EXPECT_FALSE(
      registry.ReplaceOrInsert("Icon", first, [&](bool existed) { seenExisted = existed; }));
  EXPECT_FALSE(seenExisted);
  EXPECT_FALSE(registry.ReplaceOrInsert("icon", Named("icon")));

  const TemplateSnapshot before = registry.SnapshotTemplates();
  ASSERT_EQ(before.size(), 2u);

  EXPECT_TRUE(registry.ReplaceOrInsert("Icon", Named("Icon")));  // replaced, not edited
  bool erasedUnderLock = false;
  EXPECT_TRUE(registry.Erase("icon", [&] { erasedUnderLock = true; }));
  EXPECT_TRUE(erasedUnderLock);
  EXPECT_FALSE(registry.Erase("ICON"));

  // The earlier snapshot still holds both old records, alive and unchanged.
  EXPECT_EQ(first.use_count(), 2);  // this test and `before`
  const TemplateSnapshot after = registry.SnapshotTemplates();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_NE(after[0], first);

  int cleared = 0;
  registry.Clear([&] { ++cleared; });
  registry.Clear([&] { ++cleared; });  // also reported on an empty registry
  EXPECT_EQ(cleared, 2);
  EXPECT_TRUE(registry.SnapshotTemplates().empty());
}

}  // namespace
}  // namespace tavrik
