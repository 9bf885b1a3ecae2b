// Weak callbacks and cancel tokens.
#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "base/weak_callback.h"

namespace nbase {
namespace {

class Target : public SupportWeakCallback {
 public:
  int calls = 0;
  bool Handle(int add) {
    calls += add;
    return true;
  }
};

TEST(WeakCallbackTest, DoesNothingOnceItsObjectIsGone) {
  auto target = std::make_unique<Target>();
  int* calls = &target->calls;
  auto on_event = target->ToWeakCallback([t = target.get()](int add) { return t->Handle(add); });
  auto as_pointer = target->ToWeakCallback([t = target.get()] { return t; });
  auto copy = on_event;
  EXPECT_TRUE(on_event(2));
  EXPECT_TRUE(copy(3));
  EXPECT_EQ(*calls, 5);
  EXPECT_EQ(as_pointer(), target.get());
  EXPECT_FALSE(on_event.Expired());

  target.reset();
  // Copies expire together; results are the type's default.
  EXPECT_TRUE(on_event.Expired());
  EXPECT_TRUE(copy.Expired());
  EXPECT_FALSE(on_event(1));
  EXPECT_FALSE(copy(1));
  EXPECT_EQ(as_pointer(), nullptr);
}

TEST(WeakCallbackTest, WrapsIntoStdFunctionAndBackToClosure) {
  auto target = std::make_unique<Target>();
  std::function<bool(int)> handler =
      target->ToWeakCallback([t = target.get()](int add) { return t->Handle(add); });
  WeakCallback<std::function<void()>> closure =
      target->ToWeakCallback([t = target.get()] { t->Handle(10); });
  EXPECT_TRUE(handler(1));
  closure();
  EXPECT_EQ(target->calls, 11);
  target.reset();
  EXPECT_FALSE(handler(1));
  closure();  // no crash, nothing runs
  EXPECT_TRUE(closure.Expired());
}

TEST(WeakCallbackTest, CancelDisarmsEarlierCallbacksOnly) {
  WeakCallbackFlag token;
  int runs = 0;
  auto before = token.ToWeakCallback([&runs] { ++runs; });
  token.Cancel();
  auto after = token.ToWeakCallback([&runs] { runs += 10; });
  before();
  after();
  EXPECT_EQ(runs, 10);
  EXPECT_TRUE(before.Expired());
  EXPECT_FALSE(after.Expired());
}

TEST(WeakCallbackTest, CallThatDestroysItsOwnObjectCompletes) {
  auto* target = new Target;
  int after_delete = 0;
  auto suicide = target->ToWeakCallback([target, &after_delete] {
    delete target;
    ++after_delete;  // the call goes on after the object is gone
  });
  suicide();
  EXPECT_EQ(after_delete, 1);
  EXPECT_TRUE(suicide.Expired());
  suicide();
  EXPECT_EQ(after_delete, 1);
}

TEST(WeakCallbackTest, CallbackWithoutFlagIsExpired) {
  WeakCallback<std::function<int()>> never_armed(std::weak_ptr<WeakFlag>(), [] { return 7; });
  EXPECT_TRUE(never_armed.Expired());
  EXPECT_EQ(never_armed(), 0);
}

TEST(WeakCallbackTest, CopiedObjectHasItsOwnFlag) {
  Target original;
  auto bound = original.ToWeakCallback([] { return true; });
  {
    Target copy(original);
    auto bound_copy = copy.ToWeakCallback([] { return true; });
    EXPECT_TRUE(bound_copy());
  }
  EXPECT_TRUE(bound());  // the copy's death does not disarm the original
}

}  // namespace
}  // namespace nbase
