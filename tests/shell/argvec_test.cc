// Argvec: words kept in order behind a null pointer, the slots doubling as they fill.
#include "argvec.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

// The record never frees its array: the test, as the owner, does.
struct OwnedArgvec : Argvec {
  ~OwnedArgvec() { free(_arguments); }
};

// The words of v in order, checked against the terminator after them.
void expectHolds(const Argvec &v, const std::vector<char *> &words) {
  ASSERT_EQ(v._numOfArguments, static_cast<int>(words.size()));
  ASSERT_GE(v._numOfAvailableArguments, v._numOfArguments + 1);
  for (size_t i = 0; i < words.size(); i++) EXPECT_EQ(v._arguments[i], words[i]) << "slot " << i;
  EXPECT_EQ(v._arguments[words.size()], nullptr) << "terminator";
}

TEST(Argvec, StartsEmptyWithFiveSlots) {
  OwnedArgvec v;
  EXPECT_EQ(v._numOfAvailableArguments, 5);
  EXPECT_EQ(v._numOfArguments, 0);
  ASSERT_NE(v._arguments, nullptr);
  EXPECT_EQ(v._arguments[0], nullptr);  // usable as an empty vector at once
}

TEST(Argvec, DoublesWhenOnlyTheTerminatorSlotIsLeft) {
  // Capacity after each of the first 41 insertions: grows on the 5th, 10th, 20th, 40th.
  OwnedArgvec v;
  std::vector<std::string> texts;
  for (int i = 0; i < 41; i++) texts.push_back("w" + std::to_string(i));
  std::vector<char *> words;
  for (std::string &t : texts) {
    words.push_back(t.data());
    v.insertArgument(t.data());
    const int n = static_cast<int>(words.size());
    const int expected = n < 5 ? 5 : n < 10 ? 10 : n < 20 ? 20 : n < 40 ? 40 : 80;
    EXPECT_EQ(v._numOfAvailableArguments, expected) << "after " << n << " words";
    expectHolds(v, words);
  }
}

TEST(Argvec, StoresPointersAsGiven) {
  OwnedArgvec v;
  char ls[] = "ls";
  char dashL[] = "-l";
  v.insertArgument(ls);
  v.insertArgument(ls);       // the same string twice: two slots, one pointer
  v.insertArgument(nullptr);  // stored and counted like any word
  v.insertArgument(dashL);
  expectHolds(v, {ls, ls, nullptr, dashL});
  EXPECT_EQ(v._arguments[0], v._arguments[1]);
  ls[0] = 'L';  // not copied: the record sees the caller's text
  EXPECT_STREQ(v._arguments[1], "Ls");
}

TEST(Argvec, KeepsEveryWordThroughManyGrowths) {
  constexpr int kWords = 1000;
  OwnedArgvec v;
  std::vector<std::string> texts;
  for (int i = 0; i < kWords; i++) texts.push_back(std::to_string(i));
  std::vector<char *> words;
  for (std::string &t : texts) {
    words.push_back(t.data());
    v.insertArgument(t.data());
  }
  EXPECT_EQ(v._numOfAvailableArguments, 1280);  // 5 doubled eight times
  expectHolds(v, words);
  for (int i = 0; i < kWords; i++) EXPECT_EQ(v._arguments[i], std::to_string(i));
}

TEST(Argvec, SlotCountThatCannotDoubleEndsTheProcess) {
  // A record whose slot count would overflow an int on doubling must not wrap it round
  // into a small array and write past its end.
  EXPECT_EXIT(
      {
        OwnedArgvec v;
        v._numOfAvailableArguments = INT_MAX / 2 + 1;
        v._numOfArguments = v._numOfAvailableArguments - 1;
        v.insertArgument(nullptr);
      },
      testing::ExitedWithCode(1), "realloc: Cannot allocate memory");
}

}  // namespace
