// Intrusive lists: insertion positions, removal at each place, the checker.
#include "foundation/list.h"

#include <cstddef>

#include "test_support.h"

namespace kivo {
namespace {

struct Item {
  int value;
  ut_link link;
};

class Lists : public test::Fresh {
 protected:
  ut_list list{};
  Item items[5] = {{0, {}}, {1, {}}, {2, {}}, {3, {}}, {4, {}}};

  std::vector<int> values() const {
    std::vector<int> v;
    for (void* e = list.head; e; e = static_cast<Item*>(e)->link.next) v.push_back(static_cast<Item*>(e)->value);
    return v;
  }
  bool sound() const { return ut_verify_lst(&list, offsetof(Item, link), nullptr, "Test List") == 1; }
};

TEST_F(Lists, InsertAndRemoveAtEachPlace) {
  ut_add_to_lst(&items[0], &items[0].link, &list);
  ut_add_to_lst(&items[2], &items[2].link, &list);
  items[1].link = {&items[0], nullptr};  // after 0
  ut_add_to_lst(&items[1], &items[1].link, nullptr);
  items[3].link = {nullptr, &items[0]};  // before 0 (the caller moves the head)
  ut_add_to_lst(&items[3], &items[3].link, nullptr);
  list.head = &items[3];
  EXPECT_EQ((std::vector<int>{3, 0, 1, 2}), values());
  EXPECT_TRUE(sound());
  // Removal at the head, in the middle, at the tail, then of the last one.
  ut_add_to_lst(&items[4], &items[4].link, &list);
  for (int i : {3, 1, 4}) ut_remove_from_lst(&items[i], &items[i].link, &list);
  EXPECT_EQ((std::vector<int>{0, 2}), values());
  EXPECT_TRUE(sound());
  EXPECT_TRUE(items[1].link.prev == nullptr && items[1].link.next == nullptr);
  for (int i : {0, 2}) ut_remove_from_lst(&items[i], &items[i].link, &list);
  EXPECT_TRUE(list.head == nullptr && list.tail == nullptr);
}

TEST_F(Lists, CheckerNamesTheBadElementAndNullArgumentsAreReported) {
  for (auto& i : items) ut_add_to_lst(&i, &i.link, &list);
  items[3].link.prev = &items[0];
  EXPECT_FALSE(sound());
  EXPECT_TRUE(reported("link verify - bad element (#4) of Test List"));
  items[3].link.prev = &items[2];
  list.tail = &items[3];
  EXPECT_FALSE(sound());
  EXPECT_TRUE(reported("link verify - bad last element of Test List"));
  ut_add_to_lst(nullptr, &items[0].link, &list);
  EXPECT_TRUE(reported("ut_add_to_lst - elem is NULL"));
  ut_remove_from_lst(&items[0], nullptr, &list);
  EXPECT_TRUE(reported("ut_remove - elem_link NULL"));
}

}  // namespace
}  // namespace kivo
