#include "runtime/Persistent.h"

#include <gtest/gtest.h>

#include "runtime/Component.h"
#include "runtime/Exceptions.h"

namespace tw {
namespace {

class TThing : public TPersistent {
 public:
  const char* ClassName() const override { return "TThing"; }
};

TEST(Persistent, AssignFromAnUnknownSourceRaisesTheAssignmentError) {
  TThing target;
  TThing source;
  try {
    target.Assign(&source);
    FAIL() << "expected EConvertError";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.Message(), "Cannot assign a TThing to a TThing");
  }
  EXPECT_THROW(target.Assign(nullptr), EConvertError);
}

TEST(Component, OwnerFreesItsComponentsAndTheyUnlinkThemselves) {
  struct Probe : TComponent {
    Probe(TComponent* owner, int* count) : TComponent(owner), Count(count) {}
    ~Probe() override { ++*Count; }
    int* Count;
  };
  int freed = 0;
  auto* owner = new TComponent(nullptr);
  new Probe(owner, &freed);
  auto* early = new Probe(owner, &freed);
  delete early;  // leaves the owner's list
  EXPECT_EQ(freed, 1);
  delete owner;
  EXPECT_EQ(freed, 2);
}

}  // namespace
}  // namespace tw
