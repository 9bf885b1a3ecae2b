// Observer lists tolerate changes while they notify.
#include <vector>

#include <gtest/gtest.h>

#include "base/observer_list.h"

namespace nbase {
namespace {

struct Observer {
  virtual ~Observer() = default;
  virtual void Notify() = 0;
};

struct Recorder : Observer {
  std::vector<int>* log = nullptr;
  int id = 0;
  ObserverList<Observer>* list = nullptr;
  Observer* remove_on_notify = nullptr;
  Observer* add_on_notify = nullptr;
  void Notify() override {
    log->push_back(id);
    if (remove_on_notify) list->RemoveObserver(remove_on_notify);
    if (add_on_notify) {
      list->AddObserver(add_on_notify);
      add_on_notify = nullptr;
    }
  }
};

TEST(ObserverListTest, RemovalAndAdditionDuringNotification) {
  ObserverList<Observer> list;
  std::vector<int> log;
  Recorder a, b, c, d;
  for (auto [r, id] : {std::pair{&a, 1}, {&b, 2}, {&c, 3}, {&d, 4}}) {
    r->log = &log;
    r->id = id;
    r->list = &list;
  }
  a.remove_on_notify = &b;  // a later entry: skipped in this walk
  c.remove_on_notify = &c;  // itself
  c.add_on_notify = &d;     // reached in this same walk
  list.AddObserver(&a);
  list.AddObserver(&b);
  list.AddObserver(&c);
  list.AddObserver(&a);  // no duplicates
  list.Notify([](Observer* o) { o->Notify(); });
  EXPECT_EQ(log, (std::vector<int>{1, 3, 4}));
  EXPECT_EQ(list.size(), 2u);
  EXPECT_FALSE(list.HasObserver(&b));
  EXPECT_FALSE(list.HasObserver(&c));

  log.clear();
  a.remove_on_notify = nullptr;
  list.Notify([](Observer* o) { o->Notify(); });
  EXPECT_EQ(log, (std::vector<int>{1, 4}));
}

}  // namespace
}  // namespace nbase
