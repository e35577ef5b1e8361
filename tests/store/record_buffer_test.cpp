// Callers' buffers shorter than a record: a fixed-length record put from
// fewer bytes than its length, and a keyed read into fewer bytes than the
// key extent. Every buffer here is a heap block of exactly the caller's
// size, so a read or write past it is a fault the address sanitizer sees.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "../fixtures/hook_override.h"
#include "foundation/foundation.h"
#include "record_test_util.h"

namespace kivo {
namespace {

using namespace test;

constexpr uint32_t kRecLen = 40;

class RecordBuffers : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    hooks_.set(foundation_seams.err_presenter, quiet);
    brfinit();
  }
  void TearDown() override {
    if (r_) brfdeaccess(r_);
    if (f_) brfclose(f_);
  }
  // A new file: with no key (fixed length: relative), key 0, or the three.
  void open(const char* name, uint32_t rec_len, int keys) {
    int st;
    f_ = brfopen(&st, dir_.file(name).c_str(), BRF_CREATE | (keys ? 0 : BRF_NO_KEYS), rec_len, false);
    ASSERT_NE(f_, nullptr);
    r_ = brfaccess(&st, f_, 0, false);
    if (!brf_relative(f_)) {
      ASSERT_EQ(brf_upd_ver(f_), BRF_OK);
    }
    KEY_DESC k = id_key();
    if (keys == 1) {
      ASSERT_EQ(brfsetkey(r_, &k, true, false, nullptr), BRF_OK);
    } else if (keys == 3) {
      ASSERT_EQ(set_three_keys(r_), BRF_OK);
    }
  }
  static std::unique_ptr<uint8_t[]> exactly(const std::vector<uint8_t>& v) {
    std::unique_ptr<uint8_t[]> p(new uint8_t[v.size()]);
    memcpy(p.get(), v.data(), v.size());
    return p;
  }
  scratch_dir dir_;
  BRF_FILE* f_ = nullptr;
  BRF_RCB* r_ = nullptr;
  kivo_test::hook_overrides hooks_;
};

TEST_F(RecordBuffers, ShortFixedLengthRecordIsPaddedWithBlanksFromTheCallersBytesAlone) {
  for (bool keys : {true, false}) {
    SCOPED_TRACE(keys ? "keyed" : "relative");
    open(keys ? "keyed" : "relative", kRecLen, keys ? 1 : 0);
    const uint32_t lens[] = {1, kIdLen, kFixedPart + 1, kRecLen - 1, kRecLen};
    for (uint32_t id = 0; id < std::size(lens); ++id) {
      uint32_t len = lens[id];
      std::vector<uint8_t> full = make_rec(id + 1, "AB", id + 1, kRecLen - kFixedPart, 'z');
      full[0] = static_cast<uint8_t>('a' + id);  // a key of its own even from one byte
      auto caller = exactly(std::vector<uint8_t>(full.begin(), full.begin() + len));
      ASSERT_EQ(brfput(r_, caller.get(), len), BRF_OK) << len;
      std::vector<uint8_t> want(kRecLen, ' ');
      memcpy(want.data(), full.data(), len);
      uint64_t at = r_->last_seek + (keys ? kRecHdrSize : 0);
      std::vector<uint8_t> disk = read_file(dir_.file(keys ? "keyed.dat" : "relative.dat"));
      ASSERT_GE(disk.size(), at + kRecLen);
      EXPECT_EQ(std::vector<uint8_t>(disk.begin() + at, disk.begin() + at + kRecLen), want) << len;
    }
    auto longer = exactly(std::vector<uint8_t>(kRecLen + 1, 'q'));
    EXPECT_EQ(brfput(r_, longer.get(), kRecLen + 1), BRF_BAD_DATA);
    brfdeaccess(r_);
    brfclose(f_);
    r_ = nullptr;
    f_ = nullptr;
  }
}

// Swaps the bodies of two records of one length on disk: the index entry of
// each then names a record that carries the other's key.
void swap_bodies(const std::string& dat, uint32_t a, uint32_t b, uint32_t len) {
  std::vector<uint8_t> d = read_file(dat);
  std::vector<uint8_t> t(d.begin() + a + kRecHdrSize, d.begin() + a + kRecHdrSize + len);
  std::copy(d.begin() + b + kRecHdrSize, d.begin() + b + kRecHdrSize + len, d.begin() + a + kRecHdrSize);
  std::copy(t.begin(), t.end(), d.begin() + b + kRecHdrSize);
  std::ofstream(dat, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(d.data()), static_cast<std::streamsize>(d.size()));
}

TEST_F(RecordBuffers, KeyedReadIntoABufferShorterThanTheKeysStillChecksTheKey) {
  open("var", 0, 3);
  const uint32_t len = kFixedPart + 30;
  uint32_t seek[2];
  std::vector<uint8_t> rec[2];
  for (uint32_t id = 0; id < 2; ++id) {
    rec[id] = make_rec(id + 1, "CODE" + std::to_string(id), id + 7, len - kFixedPart, static_cast<uint8_t>('m' + id));
    ASSERT_EQ(brfput(r_, rec[id].data(), len), BRF_OK);
    seek[id] = static_cast<uint32_t>(r_->last_seek);
  }
  const size_t sizes[] = {1, kIdLen, kFixedPart - 1, kFixedPart, len};
  for (bool swapped : {false, true}) {
    if (swapped) swap_bodies(dir_.file("var.dat"), seek[0], seek[1], len);
    for (int k = 0; k < 3; ++k) {
      for (size_t size : sizes) {
        SCOPED_TRACE((swapped ? "swapped, key " : "key ") + std::to_string(k) + ", size " + std::to_string(size));
        brfsetkeyN(r_, k);
        std::unique_ptr<uint8_t[]> buf(new uint8_t[size]);
        uint32_t n = 0;
        int st = brfseek(r_, kSeekEqual, rec[0].data(), kWholeRecord, buf.get(), size, &n);
        if (swapped) {
          // The entry's record carries another key: never its bytes.
          EXPECT_NE(st, BRF_OK);
          continue;
        }
        ASSERT_EQ(st, BRF_OK);
        EXPECT_EQ(n, size);
        EXPECT_EQ(r_->stored_len, len);
        EXPECT_EQ(memcmp(buf.get(), rec[0].data(), size), 0);
      }
    }
  }
}

}  // namespace
}  // namespace kivo
