#include "download/rate_limiter.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "base/strings.h"
#include "download/progress_text.h"
#include "platform/timer.h"

namespace quillon {

// ---- TRateBucket ---------------------------------------------------------------------

void TRateBucket::SetRate(int64_t bytes_per_second, int64_t now_ms) {
  rate_ = std::clamp<int64_t>(bytes_per_second, 0, kMaxRate);
  capacity_milli_ = rate_ == 0 ? 0 : std::max<int64_t>(rate_ / 20, 1) * 1000;
  tokens_milli_ = capacity_milli_;
  last_ms_ = now_ms;
  holding_ = false;
}

void TRateBucket::Advance(int64_t now_ms) {
  // A clock that goes back adds nothing; a second refills any bucket, so a
  // long quiet while is taken as one (no overflow).
  const int64_t elapsed = std::clamp<int64_t>(now_ms - last_ms_, 0, 1000);
  if (now_ms > last_ms_) last_ms_ = now_ms;
  tokens_milli_ = std::min(capacity_milli_, tokens_milli_ + rate_ * elapsed);
}

int64_t TRateBucket::Tokens(int64_t now_ms) {
  Advance(now_ms);
  // Rounded towards minus infinity: a debt of part of a byte is a debt.
  return tokens_milli_ >= 0 ? tokens_milli_ / 1000 : -((-tokens_milli_ + 999) / 1000);
}

bool TRateBucket::Spend(int64_t bytes, int64_t now_ms) {
  if (rate_ == 0 || bytes <= 0) return false;
  Advance(now_ms);
  // At most a minute's worth of debt: a single huge report (a clock or a
  // caller gone wrong) cannot hold the transfers for hours.
  tokens_milli_ = std::max(tokens_milli_ - std::min(bytes, kMaxRate) * 1000, -rate_ * 60 * 1000);
  if (holding_ || tokens_milli_ > 0) return false;
  holding_ = true;
  return true;
}

bool TRateBucket::Refill(int64_t now_ms) {
  Advance(now_ms);
  if (!holding_ || tokens_milli_ <= 0) return false;
  holding_ = false;
  return true;
}

int64_t TRateBucket::MsUntilRelease(int64_t now_ms) {
  Advance(now_ms);
  if (!holding_) return 0;
  // The first millisecond after which the bucket holds more than nothing.
  return std::max<int64_t>(1, -tokens_milli_ / rate_ + 1);
}

// ---- TRateLimiter --------------------------------------------------------------------

TRateLimiter::TRateLimiter(int64_t bytes_per_second) { bucket_.SetRate(bytes_per_second, NowMs()); }

TRateLimiter::~TRateLimiter() = default;

int64_t TRateLimiter::NowMs() const {
  if (clock_) return clock_();
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void TRateLimiter::SetRate(int64_t bytes_per_second) {
  const bool was_holding = bucket_.Holding();
  bucket_.SetRate(bytes_per_second, NowMs());
  if (timer_) timer_->Stop();
  if (was_holding) Notify();
}

int TRateLimiter::ReadSize() const {
  return Rate() == 0 ? 0 : static_cast<int>(std::clamp<int64_t>(Rate() / 32, 256, 1 << 20));
}

int TRateLimiter::Register(THoldHook hook) {
  const int key = next_key_++;
  hooks_[key] = std::move(hook);
  return key;
}

void TRateLimiter::Unregister(int key) { hooks_.erase(key); }

void TRateLimiter::Spend(int64_t bytes) {
  if (!bucket_.Spend(bytes, NowMs())) return;
  Tick();
  if (bucket_.Holding()) Notify();
}

void TRateLimiter::Tick() {
  if (bucket_.Refill(NowMs())) return Notify();
  if (!bucket_.Holding()) return;
  if (!timer_) {
    timer_ = std::make_unique<platform::OneShotTimer>();
    timer_->OnTimer = [this] { Tick(); };
  }
  timer_->Start(static_cast<uint32_t>(std::min<int64_t>(bucket_.MsUntilRelease(NowMs()), 60000)));
}

void TRateLimiter::Notify() {
  // Through the keys: a hook may unregister itself or another download.
  std::vector<int> keys;
  for (const auto& entry : hooks_) keys.push_back(entry.first);
  for (int key : keys) {
    auto found = hooks_.find(key);
    if (found == hooks_.end()) continue;
    if (!FireEvent(lifetime_, found->second)) return;
  }
}

// ---- Texts ---------------------------------------------------------------------------

std::string RateLimitText(int64_t bytes_per_second) {
  if (bytes_per_second <= 0) return "";
  return "limited to " + std::string(TrimRightWS(FormatTransferSize(static_cast<double>(bytes_per_second)))) +
         "/sec.";
}

int64_t ParseRate(const std::string& text) {
  // Read by hand: the user's locale may write the decimal point otherwise.
  size_t pos = 0;
  int64_t whole = 0, fraction = 0, scale = 1;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    if (pos >= 15) return -1;
    whole = whole * 10 + (text[pos] - '0');
  }
  if (pos == 0) return -1;
  if (pos < text.size() && text[pos] == '.') {
    const size_t first = ++pos;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos)
      if (pos - first < 6) fraction = fraction * 10 + (text[pos] - '0'), scale *= 10;
    if (pos == first) return -1;
  }
  const std::string suffix = text.substr(pos);
  int shift = 0;
  if (suffix == "k" || suffix == "K") shift = 10;
  else if (suffix == "m" || suffix == "M") shift = 20;
  else if (suffix == "g" || suffix == "G") shift = 30;
  else if (!suffix.empty()) return -1;
  if (whole > (TRateBucket::kMaxRate >> shift)) return -1;
  const int64_t rate = (whole << shift) + ((fraction << shift) + scale / 2) / scale;
  return rate > TRateBucket::kMaxRate ? -1 : rate;
}

}  // namespace quillon
