// TFtpSequencer: the steps of a sequence operation (Open, Receive, Get ...)
// and the rules that pick the next one. It holds no connection: the client
// runs each step it names and tells it how the step ended.
#pragma once

#include <cstdint>
#include <string>

namespace quillon {

// One command (or the connect) of a sequence.
enum TFtpStep : int {
  stNone = 0, stConnect = 1, stUser = 2, stPass = 3, stCwd = 4, stSize = 5, stMkd = 6,
  stRmd = 7, stRnfr = 8, stRnto = 9, stRetr = 10, stList = 11, stQuit = 12, stSyst = 13,
  stDele = 14, stPwd = 15, stQuote = 16, stStor = 17, stType = 18, stRest = 19,
  stCdup = 20, stNlst = 21, stAppe = 22, stPort = 23, stAbor = 24, stMdtm = 25,
};

class TFtpSequencer {
 public:
  using TSteps = uint32_t;
  static constexpr TSteps Bit(TFtpStep s) { return TSteps{1} << s; }

  // A sequence runs from Start until the client reports it (Finish).
  bool Active() const { return active_; }
  // The sequence goes on after a step that succeeded.
  bool Continuing() const { return continuing_; }
  void Start(TSteps Steps);
  // No further step: the next report ends the sequence.
  void Stop() { continuing_ = false; }
  // Abort: no further step, and the sequence ends with 426.
  void Abort();
  // The sequence was reported; restores into Response and Code what the
  // last step before QUIT answered, when QUIT ran.
  void Finish(std::string& Response, int& Code);

  // Removes and returns the next step in running order (stNone when none is
  // left: then the sequence is over with Result()). PASS is skipped after a
  // USER answered other than 331 (StatusCode), CWD when HostDirEmpty;
  // KeepResume is false unless a REST answered 350 right before a transfer
  // step. Entering QUIT remembers LastResponse and StatusCode.
  TFtpStep TakeNext(const std::string& LastResponse, int StatusCode, bool HostDirEmpty, bool& KeepResume);
  int Result() const { return result_; }
  // Whether any of Steps is still to run.
  bool Pending(TSteps Steps) const { return (steps_ & Steps) != 0; }

  // The step (or one-command operation) that ran last.
  TFtpStep Current() const { return current_; }
  void SetCurrent(TFtpStep s) { current_ = s; }

 private:
  TSteps steps_ = 0;
  TFtpStep current_ = stNone;
  int result_ = 0;
  bool active_ = false;
  bool continuing_ = false;
  std::string saved_response_;
  int saved_code_ = -1;
};

}  // namespace quillon
