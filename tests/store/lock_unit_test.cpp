// Lock helpers that need no second process: the lock byte map, the status
// line's fitting, the owner stamp.
#include <gtest/gtest.h>

#include <string>

#include "store/lock.h"

namespace kivo {
namespace {

TEST(LockBytes, RecordLocksNeverOverlapTheControlBytes) {
  // Relative records whose first byte is 0 or 1 lock past every u32 seek.
  EXPECT_EQ(record_lock_byte(0, true), kRelLockSpill);
  EXPECT_EQ(record_lock_byte(1, true), kRelLockSpill + 1);
  EXPECT_EQ(record_lock_byte(2, true), 2);
  EXPECT_EQ(record_lock_byte(600, true), 600);
  EXPECT_EQ(record_lock_byte(512, false), 512);
  EXPECT_NE(record_lock_byte(0, true), kUpdateLockByte);
  EXPECT_NE(record_lock_byte(1, true), kHeaderLockByte);
}

TEST(LockBytes, OwnerWordCarriesTheOwnerBit) {
  EXPECT_EQ(owner_word(7), 0x80000007u);
  EXPECT_NE(owner_word(0), 0u);
}

TEST(LockStatusLine, LongTextShortensThePathInside) {
  char out[81];
  std::string text =
      "Waiting for lock held by process 4711 in /srv/kivo/data/applications/very/deep/path/to/customers.dat";
  lock_fit_status(text.c_str(), 80, out, sizeof out);
  EXPECT_STREQ(out, "Waiting for lock held by process 4711 in /.../customers.dat");
  lock_fit_status("short /a/b", 80, out, sizeof out);
  EXPECT_STREQ(out, "short /a/b");
  // No "/" to shorten: cut at the width.
  std::string plain(100, 'x');
  lock_fit_status(plain.c_str(), 10, out, sizeof out);
  EXPECT_EQ(std::string(out), std::string(9, 'x'));
}

}  // namespace
}  // namespace kivo
