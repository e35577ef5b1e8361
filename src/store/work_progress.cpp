// The progress line of long work (key builds, verifications, repairs,
// transfers): shown once the work has taken more than a moment, redrawn a
// few times a second at most.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "store/record_ops.h"

namespace kivo {

namespace {

constexpr int64_t kMomentMs = 500;
constexpr int64_t kEveryMs = 250;

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

brf_progress_gate::brf_progress_gate(const brf_progress* p, std::string title)
    : p_(p && p->line ? p : nullptr), title_(std::move(title)), start_ms_(now_ms()) {}

void brf_progress_gate::show(const char* step, uint64_t done, uint64_t total) {
  if (!p_) return;
  const int64_t now = now_ms();
  if (now - start_ms_ < kMomentMs || (shown_ && now - last_ms_ < kEveryMs)) return;
  last_ms_ = now;
  shown_ = true;
  char text[600];
  const int pct = total ? static_cast<int>(std::min<uint64_t>(done, total) * 100 / total) : 100;
  snprintf(text, sizeof text, "%s: %s %d%%", title_.c_str(), step, pct);
  p_->line(p_->ctx, text);
}

void brf_progress_gate::clear() {
  if (!shown_) return;
  shown_ = false;
  p_->line(p_->ctx, nullptr);
}

}  // namespace kivo
