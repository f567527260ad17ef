#include "net/ftp/ftp_sequencer.h"

namespace quillon {

namespace {

// The steps of a sequence are started in this order.
constexpr TFtpStep kStepOrder[] = {stConnect, stUser, stPass, stCwd,  stCdup, stType, stPort, stRest,
                                   stRetr,    stStor, stAppe, stList, stNlst, stSyst, stMkd,  stRmd,
                                   stRnfr,    stRnto, stSize, stMdtm, stDele, stPwd,  stAbor, stQuote, stQuit};

}  // namespace

void TFtpSequencer::Start(TSteps Steps) {
  saved_code_ = -1;
  steps_ = Steps;
  current_ = stNone;
  result_ = 0;
  active_ = true;
  continuing_ = true;
}

void TFtpSequencer::Abort() {
  steps_ = 0;
  result_ = 426;
}

void TFtpSequencer::Finish(std::string& Response, int& Code) {
  if (active_ && saved_code_ != -1) {
    Response = saved_response_;
    Code = saved_code_;
  }
  active_ = false;
  continuing_ = false;
}

TFtpStep TFtpSequencer::TakeNext(const std::string& LastResponse, int StatusCode, bool HostDirEmpty,
                                 bool& KeepResume) {
  continuing_ = true;
  KeepResume = true;
  for (TFtpStep s : kStepOrder) {
    if (!(steps_ & Bit(s))) continue;
    steps_ &= ~Bit(s);
    if (s == stPass && current_ == stUser && StatusCode != 331) continue;
    if (s == stCwd && HostDirEmpty) continue;
    if ((s == stRetr || s == stStor || s == stAppe) && !(current_ == stRest && StatusCode == 350)) KeepResume = false;
    if (s == stQuit) {
      saved_response_ = LastResponse;
      saved_code_ = StatusCode;
    }
    return s;
  }
  continuing_ = false;
  return stNone;
}

}  // namespace quillon
