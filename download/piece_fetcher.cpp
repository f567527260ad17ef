#include "download/piece_fetcher.h"

#include <ctime>
#include <utility>

#include "base/lifetime.h"
#include "base/strings.h"
#include "base/version.h"
#include "download/download_job.h"
#include "download/ftp_session_transfer.h"
#include "download/ftp_url.h"
#include "download/http_transfer.h"
#include "download/retry_after.h"
#include "download/retry_policy.h"
#include "download/transfer.h"
#include "net/ftp/ftp_client.h"
#include "net/http/http_cli.h"
#include "net/socket/host_name.h"
#include "net/socket/transfer_watchdog.h"
#include "platform/timer.h"
#include "platform/winsock_errors.h"

namespace quillon {

namespace {

// ---- HTTP ------------------------------------------------------------------------------

class THttpPieceFetcher final : public TPieceFetcher {
 public:
  explicit THttpPieceFetcher(TPieceSource source) : source_(std::move(source)) {}

  bool Open() override {
    http_ = std::make_unique<THttpCli>();
    http_->OnDocBegin = [this](THttpCli*) { DocBegin(); };
    http_->OnDocData = [this](THttpCli*, const void*, int) { OnData(); };
    http_->OnRequestDone = [this](THttpCli*, THttpRequest, Word error) { RequestDone(error); };
    http_->SetURL(source_.url);
    http_->SetAgent(kQuillonUserAgent);
    http_->SetAccept("*/*");
    http_->SetConnectTimeout(source_.connect_timeout);
    http_->SetIdleTimeout(source_.idle_timeout);
    // One connection serves one piece after another where the server keeps it.
    http_->SetKeepAlive(true);
    if (!source_.http_created(http_.get())) return false;
    // Each request names its own If-Range, after whatever a caller added.
    auto before = http_->OnBeforeHeaderSend;
    http_->OnBeforeHeaderSend = [this, before](THttpCli* sender, const std::string& method,
                                               std::vector<std::string>& lines) {
      if (before) before(sender, method, lines);
      if (!validator_.empty()) lines.push_back("If-Range: " + validator_);
    };
    return true;
  }

  void Fetch(int64_t from, int64_t end, const std::string& validator) override {
    from_ = from;
    end_ = end;
    validator_ = validator;
    http_->SetRcvdStream(nullptr);
    http_->SetContentRangeBegin(std::to_string(from));
    http_->SetContentRangeEnd(std::to_string(end - 1));
    http_->GetAsync();
  }

  void Abort() override { http_->Abort(); }
  void Hold(bool wait) override { HoldSocket(http_->CtrlSocket(), http_->Watchdog(), wait); }
  void Release() override { http_->SetRcvdStream(nullptr); }
  THttpCli* Http() const override { return http_.get(); }

 private:
  // A 206 of the range asked for goes to the stream; a refused piece is
  // thrown, which ends the request. Bodies of other statuses are not written.
  void DocBegin() {
    const int code = http_->StatusCode();
    if (code < 200 || code > 299) return;
    const std::vector<std::string>& header = http_->RcvdHeader();
    TAnswer answer;
    int64_t first = -1;
    const bool range = code == 206 && ParseContentRange(HeaderValue(header, "content-range"), first, answer.total);
    if (code != 206) {
      answer.kind = TAnswerKind::kWhole;
      answer.status = std::to_string(code) + " " + http_->ReasonPhrase();
    } else if (!range || first != from_ || answer.total < 0) {
      answer.kind = TAnswerKind::kOtherPart;
    } else if (!validator_.empty() && !SameVersion(header, validator_)) {
      answer.kind = TAnswerKind::kOtherVersion;
    }
    answer.validator = ValidatorOf(header);
    int64_t end = end_;
    TStream* stream = OnAnswer(answer, end);
    if (!stream) throw EHttpException("piece refused", code);
    http_->SetRcvdStream(stream);
  }

  void RequestDone(Word error) {
    THttpCli& http = *http_;
    const int code = http.StatusCode();
    TEnd end;
    end.answered = error == 0 && code == 206;
    end.kind = HttpFailureKind(error, code);
    end.socket_error = error;
    if (error != 0)
      end.reason = HttpFailureText(http, error);
    else if (code < 200 || code > 299)
      end.reason = std::to_string(code) + " " + http.ReasonPhrase();
    end.transient = error == 0 && TransientHttpStatus(code);
    end.busy = error == 0 && (code == 429 || code == 503);
    end.retry_after_ms = RetryAfterMs(HeaderValue(http.RcvdHeader(), "retry-after"), kMaxRetryAfterMs,
                                      static_cast<int64_t>(std::time(nullptr)));
    OnEnd(end);
  }

  TPieceSource source_;
  std::unique_ptr<THttpCli> http_;
  int64_t from_ = 0, end_ = 0;
  std::string validator_;
};

// ---- FTP -------------------------------------------------------------------------------

// A server that does not know SIZE or MDTM, or has no such value for the
// file, refuses it and stays connected.
bool NotAnswered(TFtpClient& ftp, Word error) {
  return (error == 500 || error == 502 || error == 550) && ftp.Connected();
}

class TFtpPieceFetcher final : public TPieceFetcher {
 public:
  explicit TFtpPieceFetcher(TPieceSource source) : source_(std::move(source)) {
    later_.OnTimer = [this] {
      const TEnd end = pending_;
      OnEnd(end);
    };
  }

  bool Open() override {
    const TFtpUrlParts parts = SplitFtpUrl(source_.url);
    host_ascii_ = IsAsciiHostName(parts.host);
    host_ = parts.host;
    ftp_ = std::make_unique<TFtpClient>();
    ftp_->OnRequestDone = [this](TCustomFtpCli*, TFtpRequest request, Word error) { Done(request, error); };
    ftp_->OnProgress = [this](TCustomFtpCli*, int64_t, bool&) { Progress(); };
    ftp_->SetHostName(parts.host);
    ftp_->SetPort(parts.port);
    SetFtpLogin(*ftp_, parts);
    ftp_->SetHostDirName(parts.dir);
    ftp_->SetHostFileName(parts.file);
    ftp_->SetLocalFileName(source_.part_name);
    // Every piece names its own REST: never the local file's size.
    ftp_->SetOptions({ftpAcceptLF, ftpNoAutoResumeAt});
    ftp_->SetBinary(true);
    ftp_->SetPassive(source_.ftp_data_mode != TFtpDataMode::kActive);
    ftp_->SetConnectTimeout(source_.connect_timeout);
    ftp_->SetIdleTimeout(source_.idle_timeout);
    if (!source_.ftp_created(ftp_.get())) return false;
    login_ok_ = CompleteFtpLogin(*ftp_);
    // Which command a failed sequence ended with: a refused REST means the
    // server serves no pieces.
    auto before = ftp_->OnCommand;
    ftp_->OnCommand = [this, before](TCustomFtpCli* sender, std::string& command) {
      if (before) before(sender, command);
      last_verb_ = command.substr(0, command.find(' '));
    };
    return true;
  }

  void Fetch(int64_t from, int64_t end, const std::string& validator) override {
    from_ = from;
    end_ = end;
    validator_ = validator;
    stream_ = nullptr;
    if (!host_ascii_) return Later(false, InvalidHostNameText(host_));
    if (!login_ok_) return Later(false, "could not connect or log in");
    if (total_ < 0) return ftp_->Connect();
    if (mdtm_) return ftp_->Mdtm();
    Answer("");
  }

  void Abort() override {
    // As for HTTP, a fetcher between pieces reports nothing.
    aborted_ = true;
    ftp_->Abort();
  }

  void Hold(bool wait) override {
    held_ = wait;
    if (TWSocket* data = ftp_->DataSocket()) HoldSocket(*data, ftp_->Watchdog(), wait);
  }

  void Release() override {
    stream_ = nullptr;
    ftp_->SetLocalStream(nullptr);
    if (TWSocket* data = ftp_->DataSocket()) HoldSocket(*data, ftp_->Watchdog(), false);
  }

  TFtpClient* Ftp() const override { return ftp_.get(); }

  // A session between pieces says goodbye; its answer is not awaited.
  ~TFtpPieceFetcher() override {
    if (!ftp_ || !ftp_->Connected() || ftp_->State() != ftpReady) return;
    ftp_->OnRequestDone = nullptr;
    ftp_->OnCommand = nullptr;
    try {
      ftp_->Quit();
    } catch (const std::exception&) {
      // Nothing is lost without the goodbye.
    }
  }

 private:
  void Progress() {
    // The next piece's data connection is held as the last one was.
    if (held_) Hold(true);
    if (stream_) OnData();
  }

  void Later(bool answered, const std::string& reason) {
    pending_ = TEnd{};
    pending_.answered = answered;
    pending_.reason = reason;
    pending_.kind = TFailureKind::kNetwork;
    later_.Start(0);
  }

  void Done(TFtpRequest request, Word error) {
    TFtpClient& ftp = *ftp_;
    if (aborted_) return Failed(request, error);
    if (error != 0) {
      if (request == ftpRqSize && NotAnswered(ftp, error)) return SizeDone(false);
      if (request == ftpRqMdtm && NotAnswered(ftp, error)) {
        mdtm_ = false;
        return Answer("");
      }
      return Failed(request, error);
    }
    switch (request) {
      case ftpRqConnect: return ftp.User();
      case ftpRqUser:
        // 230: logged in without a password.
        if (ftp.StatusCode() == 230) return LoggedIn();
        return ftp.Pass();
      case ftpRqPass: return LoggedIn();
      case ftpRqCwd: return ftp.TypeSet();
      case ftpRqTypeSet: return ftp.Size();
      case ftpRqSize: return SizeDone(ftp.StatusCode() == 213);
      case ftpRqMdtm: return Answer(ftp.MdtmResult());
      case ftpRqGet:
      case ftpRqRestartGet: {
        // The last block's bytes are counted before the end.
        if (stream_) OnData();
        TEnd end;
        end.answered = true;
        end.kind = TFailureKind::kNetwork;
        OnEnd(end);
        return;
      }
      default: return;
    }
  }

  void LoggedIn() {
    if (!ftp_->HostDirName().empty())
      ftp_->Cwd();
    else
      ftp_->TypeSet();
  }

  void SizeDone(bool answered) {
    total_ = answered ? ParseDecimalDigits(FtpTextFromReply(ftp_->LastResponse())).value_or(-1) : -1;
    if (total_ < 0) {
      TEnd end;
      end.no_parts = true;
      end.reason = "gives no size for the file (SIZE: " + FtpOneLine(ftp_->LastResponse()) +
                   "), which fetching it in pieces needs";
      end.kind = TFailureKind::kProtocol;
      OnEnd(end);
      return;
    }
    ftp_->Mdtm();
  }

  // SIZE and MDTM known: the piece is the part asked for, or of another
  // version; then REST and RETR.
  void Answer(const std::string& mdtm) {
    TAnswer answer;
    answer.total = total_;
    answer.validator = mdtm;
    if (!validator_.empty() && mdtm != validator_) answer.kind = TAnswerKind::kOtherVersion;
    int64_t end = end_;
    TStream* stream = OnAnswer(answer, end);
    if (!stream) {
      TEnd refused;
      refused.kind = TFailureKind::kProtocol;
      OnEnd(refused);
      return;
    }
    stream_ = stream;
    end_ = end;
    ftp_->SetLocalStream(stream);
    ftp_->SetResumeAt(from_);
    ftp_->SetStopAt(end_);
    ftp_->RestartGet();
  }

  void Failed(TFtpRequest request, Word error) {
    TFtpClient& ftp = *ftp_;
    const Word data_error = ftp.DataConnectError();
    const int code = ftp.StatusCode();
    TEnd end;
    end.socket_error = error;
    end.transient = !aborted_ && (TransientFtpReply(code) || data_error != 0);
    end.kind = data_error != 0 ? TFailureKind::kNetwork
                               : FtpFailureKind(request, error, code, ftp.LastResponse(), ftp.Connected());
    const std::string socket_failure =
        error == platform::WSAECONNRESET
            ? ""
            : SocketFailure(error, ftp.HostName(), ftp.ControlSocket(), FtpSocksServer(ftp), ftp.SocksPort());
    if (error == kConnectTimeoutError || error == kIdleTimeoutError) {
      end.reason = TTransferWatchdog::ReasonText(
          error == kConnectTimeoutError ? TTimeoutKind::Connect : TTimeoutKind::Idle, ftp.IdleTimeout());
    } else if (data_error != 0) {
      end.reason = "cannot open the data connection: " +
                   SocketFailure(data_error, ftp.HostName(), nullptr, FtpSocksServer(ftp), ftp.SocksPort());
    } else if (error == platform::WSAECONNRESET) {
      end.reason = "connection reset by the server.";
    } else if (!socket_failure.empty()) {
      end.reason = socket_failure;
    } else if (request == ftpRqConnect || request == ftpRqUser || request == ftpRqPass) {
      end.reason = "could not connect or log in";
    } else {
      end.reason = FtpOneLine(!ftp.ErrorMessage().empty() ? ftp.ErrorMessage() : ftp.LastResponse());
    }
    if (!aborted_ && request == ftpRqRestartGet && last_verb_ == "REST" && code >= 500) {
      end.no_parts = true;
      end.reason = "does not resume transfers (REST: " + end.reason + "), which fetching it in pieces needs";
    }
    // The session is gone with a failure: a later piece starts a new one.
    total_ = ftp.Connected() ? total_ : -1;
    OnEnd(end);
  }

  TPieceSource source_;
  std::unique_ptr<TFtpClient> ftp_;
  std::string host_;
  bool host_ascii_ = true;
  bool login_ok_ = true;
  bool aborted_ = false;
  bool held_ = false;
  bool mdtm_ = true;       // the server answers MDTM: asked before every piece
  int64_t total_ = -1;     // the SIZE answer of this session; -1: not logged in yet
  int64_t from_ = 0, end_ = 0;
  std::string validator_;  // the version asked for
  std::string last_verb_;
  TStream* stream_ = nullptr;
  TEnd pending_;
  platform::OneShotTimer later_;
};

}  // namespace

std::unique_ptr<TPieceFetcher> MakePieceFetcher(TPieceSource source) {
  if (LowerCase(source.url).starts_with("ftp://")) return std::make_unique<TFtpPieceFetcher>(std::move(source));
  return std::make_unique<THttpPieceFetcher>(std::move(source));
}

}  // namespace quillon
