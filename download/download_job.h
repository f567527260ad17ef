// TDownloadJob: one download without any widget. It orchestrates its tries:
// each is a TTransfer (transfer.h) that owns the client of its URL's scheme
// (THttpTransfer for http:// and https://, TFtpSessionTransfer for ftp://);
// the job holds NAME.part, asks TRetryPolicy what follows a failed try,
// commits the file, and keeps what a download row shows: the status text, the row's role, the cylinder position, the
// action link's mode, caption and enabled state, the pause link, and whether
// the file's icon replaces the cylinder. Every change ends with one OnChange,
// so a viewer (the row TDLVisualPanel, or quillon-get) reads the new values
// there; its handler (and the client-created hooks') may destroy the job,
// which then stops at once. What the job is doing is its Phase(). The only
// question a download asks, whether to continue a shorter local file, goes
// to a TResumeQuestion.
//
// Complete or nothing: a transfer writes NAME.part (PartialFileName) beside
// the destination NAME, and only CommitDownload, after every check of the
// whole file, renames it over NAME (TPartialFile::Commit: only while
// NAME.part still leads to the file written and hashed, "Download failed:
// NAME.part was replaced by another program during the download; NAME was
// not changed."; the finished file takes the mode of any new file of the
// user, 0666 less the umask). What happens to a NAME that exists then is
// SetExistingFile's: replaced, kept (a NAME made during the download too:
// "Download failed: NAME was made by another program during the download
// and is not replaced; the downloaded file is kept as NAME.part."), or kept
// with the file saved under the first free "NAME (n).ext" (chosen at the
// start when NAME exists then or another running download holds NAME.part,
// again at the end when that name was taken meanwhile), which
// LocalFilename() then names. The bytes reach the part on the writer
// thread of TQueuedFileStream: while a download's queue is full its socket
// waits, a failed write ends the transfer, so does a disk that accepts
// nothing for the idle limit ("Download failed: cannot write the file: the
// disk accepted no data for <n> seconds."), and the checks wait until every
// queued byte is written.
//
// What the publisher says about the file (SetExpectedFile): a Size is the
// total before the first byte (progress without a length from the server),
// and a server that announces another length fails at once ("Download
// failed: the server's file has N bytes, the publisher's has M."), a body
// that goes on past M fails as soon as it does ("Download failed: the
// server's file has more than M bytes, the publisher's has M.") and nothing
// past M is written; a
// SHA-256 is computed while the bytes are written (a continued part's own
// bytes first) and NAME is made only when it matches, the completion text
// then ending in " (verified)"; otherwise "Download failed: the file is not
// the one the publisher signed (SHA-256 mismatch)." (for a hash given on
// quillon-get's command line: "... not the one given on the command line
// (SHA-256 mismatch).") and the part is removed. A failure or a cancel leaves NAME as it
// was; NAME.part stays when a later start can continue it (data with a
// recorded total: FTP's SIZE answer, HTTP's length with a validator, see
// partial_file.h) and
// is removed otherwise. Bodies of statuses outside 200-299 are never
// written.
//
// Life of a download:
//   StartDownload: checks (texts "No URL specified.", "Destination file not
//     specified.", "Cannot create directory to save download to.",
//     "Unsupported protocol.", and "Download failed: <reason>" for a URL,
//     or a mirror's when it is tried, that UrlRefusal of net/http/url.h
//     refuses: a control byte, CR, LF or NUL percent-encoded, no host;
//     nothing is sent for it), creates the destination folder (unless
//     SetMakesFolder(false): then a missing one fails with "Download
//     failed: the folder <folder> no longer exists."), takes
//     NAME.part for this download alone (TPartialFile: "Download failed:
//     <file name> is already being downloaded." while another download, of
//     this process or another, holds it; "Download failed: <file
//     name>.part is not a regular file."; "Download failed: <file
//     name>.part belongs to another user and cannot be replaced
//     (<reason>)."; a NAME that is another running download's part:
//     "Download failed: <file name> is the partial file of another running
//     download."), then
//   HTTP: every request says "User-Agent: Quillon/VERSION" (kQuillonUserAgent)
//     and "Accept: */*" (OnHttpClientCreated may change them); the URL's
//     path goes percent-encoded (RequestTarget of net/http/url.h), so a URL
//     with letters beyond ASCII is to be UTF-8. The resume question when
//     NAME.part is a continuable part of this
//     URL (Yes asks for "Range: bytes=N-" with "If-Range: <validator>"),
//     "Initiating download..." + one "." per header line, progress texts
//     once a second, then one of "Download Complete." (error 0, status
//     200-299, every byte of a known length, the recorded total; open mode,
//     light grey), "Download Canceled." (aborted), "Download failed:
//     <reason>" (network or protocol error, timeouts; a socket error in the
//     system's words: "Download failed: connection refused (127.0.0.1 port
//     8081)", "Download failed: can't resolve host name example.test";
//     through a SOCKS proxy a failed connection names the proxy:
//     "connection refused (SOCKS proxy 127.0.0.1 port 1080)"),
//     "Download failed: <code> <reason>" (statuses outside 200-299, a 404
//     included, and a 206 that does not continue the part), "Download incomplete." (a body
//     shorter than its length, also when TLS ended without close-notify).
//     A continued request goes on only on a 206 with the recorded validator
//     (its ETag, or its Last-Modified when the record holds a date) whose
//     Content-Range starts at N with the recorded total. A 200 starts the
//     part again; a 206 of another version (another validator or total) or
//     a 416 drops the part and asks once more for the whole file; a 206 of
//     the same version at another place, or one that was not asked for,
//     fails ("Download failed: <code> <reason> (not the part of the file
//     that was asked for)") and keeps the part.
//   FTP: "Connecting to server...", "Session Connected.", then User, Pass
//     (not after a 230 to USER), Cwd (when there is a folder), TypeSet,
//     Size, Mdtm (a 500, 502 or 550 to either, or a 213 without a number to
//     SIZE, goes on without the value), the resume question (NAME.part
//     recorded with this URL and the same SIZE and MDTM answers, and shorter
//     than the SIZE answer), Get or RestartGet, Quit; "Completed." (open
//     mode, light grey) when the file has as many bytes as the SIZE answer,
//     or without one when the final reply was 226 or 250; on a failure
//     "Could not connect or log in." (a refused USER or PASS, a server that
//     refuses the session, a user name without a password other than
//     anonymous/ftp), "Download cancelled." (the user's cancel),
//     "Download failed: <reply>" (the server's reply, once), "Download
//     failed: <socket error>" (as for HTTP), "Download failed: cannot open
//     the data connection: <socket error>" (a passive data connection
//     refused or timed out: a network failure, tried again), "Download
//     failed: connection reset by the server.", "Download failed: the server sent more than the
//     N bytes it announced." (nothing past N is written), "Download
//     incomplete." (a short file).
//     Data connections (FtpDataMode): passive first (EPSV, then PASV when
//     the server refuses EPSV with any 5xx). When passive finds no data
//     connection (the server refuses PASV too, names no port, or its port
//     cannot be connected to: TFtpClient::PassiveFailed), the status says
//     "No passive data connection (<reason>); trying active mode." and the
//     same try goes on at once in a new session in active mode (EPRT, then
//     PORT), once; its failure is the try's. Each retry and mirror begins
//     passive again. Through a proxy the data connections stay passive.
//   Both: "Download failed: connection timed out." / "Download failed: no
//     data for <n> seconds." (ConnectTimeout, IdleTimeout) and "Download
//     failed: cannot write the file: <reason>". Failures go to start mode
//     in the failed role (as a cancel), and the position
//     says how much of the file arrived (nothing of an error page); only a
//     complete file reaches 100 with its icon shown.
//   Pause/Resume (the pause link): "Paused." until Resume, then the progress
//     text again. A hold does not change the phase underneath: a wait before
//     a retry that ends while held starts the retry on Resume.
//   Rate limit (SetRateLimiter): every transfer reports the bytes it
//     receives (HTTP bodies, error pages included, FTP data, each piece's
//     connection) to a TRateLimiter that the download shares with others;
//     while it says hold, the sockets wait as for the user's pause (and the
//     idle limit waits with them). A limited download is transferring, not
//     paused: its phase, role, pause link and progress text stay.
//   Cancel (ActionClick in cancel mode, at any time of a transfer, the
//     connection and login included): aborts, start mode, "Download
//     Cancelled." until the client's completion replaces it.
//   Retries (TRetryPolicy): a transient failure (connection reset, a timeout,
//     "Download incomplete.", HTTP 408, 429, 500, 502, 503, 504, FTP 421,
//     425, 426, 450, 451, an FTP data connection that cannot be made) is
//     tried again up to Retries() times, after
//     RetryWait() seconds, then twice as long each time, each wait with a
//     random 0-20 % added (an HTTP Retry-After in seconds replaces it, up to
//     300 s). The row says "Retrying in <n> s (attempt <k> of <retries>): "
//     + the reason; Pause and Cancel work during the wait. A try continues
//     the part under the rules above without asking (the part stays locked
//     between the tries). Certificate failures, other statuses, size or hash
//     mismatches, write failures and a cancel are never tried again. A
//     refused connection is tried again only after a try of the same URL
//     that was not refused (a server that restarts); refused at the first
//     try, nobody listens there, and the URL fails at once (its mirrors
//     still follow).
//   Mirrors (SetMirrors): when the URL fails for good (after its retries)
//     the status says why ("Giving up on <url>: <reason>"), then the
//     download goes on with the next mirror, "Trying mirror <k> of <m>:
//     <url>"; an HTTP part carries over to a mirror only when the
//     publisher's SHA-256 is known (it covers every byte), and starts again
//     otherwise. A part so joined from two sources that fails the SHA-256 is
//     fetched whole once more from the source that served its rest ("SHA-256
//     mismatch of a file joined from two sources: fetching it whole from
//     <url>") before the file counts as not the publisher's. An https URL
//     goes on with a plain http or ftp mirror only when the SHA-256 is
//     known; such mirrors are passed over otherwise, and when none is left
//     the failure says so ("<failure>; mirror <url> not tried: an https
//     download goes on over plain http or ftp only with a SHA-256 to check
//     the file."). URL() names the URL being fetched; a new start begins
//     with the one set.
//   Several sources at once (TPiecesTransfer, PieceSources): a download
//     with more than one connection per host (SetConnectionsPerHost: the
//     user's or the publisher's limit), or with http, https or ftp mirrors
//     and a SHA-256 that proves the result (the file's, or the publisher's
//     piece hashes), is fetched in pieces from all of them at once into the
//     one NAME.part (an FTP source serves a piece with REST and RETR, closing
//     the data connection at the piece's end, each of its connections a
//     session of its own; one without a SIZE answer or that refuses REST
//     serves no pieces: "mirror 2 (<url>) gives no size for the file (SIZE:
//     <reply>), which fetching it in pieces needs; not used again"); each
//     source's progress,
//     failures and Retry-After are its own, and a source that fails for
//     good, is far slower than the best or sends a damaged piece is left
//     with one line that says why ("mirror 2 (<url>) sent a damaged piece;
//     not used again"); the progress line ends "from 3 sources" (or "over
//     4 connections"). Only when every source has failed does the download
//     fail, with the last failure. A server that sends the whole file for
//     a part is asked for the whole file once more, alone (the sequential
//     path above, with its mirrors); a file that changed under If-Range
//     starts again. The part's record keeps the complete pieces: a later
//     start fetches the rest only.
//   Secrets: a URL's password is never written to the part's record nor
//     shown in a status text ("user:***@", RedactedUrl).
// NAME.part stays locked from the start until its transfer has ended (by
// any path: complete, failed, cancelled) and the part is renamed, kept or
// removed. Destroying the job ends its transfer and closes the partial
// file.
// User-interface thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/lifetime.h"
#include "download/download_failure.h"
#include "download/partial_file.h"
#include "download/piece_hashes.h"
#include "download/progress_text.h"
#include "download/redacted_url.h"
#include "download/retry_policy.h"
#include "download/row_role.h"
#include "download/transfer.h"
#include "net/ftp/ftp_client.h"
#include "net/http/http_cli.h"

namespace quillon {

namespace platform {
class OneShotTimer;
}
class TQueuedFileStream;
class TRateLimiter;

// What the publisher's catalogue says about a link's file.
struct TExpectedFile {
  int64_t size = -1;   // bytes; -1: not said
  std::string sha256;  // 64 lowercase hexadecimal digits; empty: not said
  // A field the catalogue holds but that cannot be read: every start fails
  // with it rather than fetching the file unverified.
  std::string error;
  // False when the hash came from a source nobody authenticated: it is still
  // checked, but the completion text does not say "(verified)".
  bool authenticated = true;
  // The hash was given on quillon-get's command line, not by a publisher:
  // a mismatch's text says so.
  bool from_command_line = false;
  // The publisher's SHA-256 of each piece (empty: not said).
  TPieceHashes pieces = {};
};

// What the catalogue in use says about one of its links: the file and the
// link's mirrors.
struct TCatalogueLink {
  TExpectedFile expected;
  std::vector<std::string> mirrors;
  int connections = 0;  // the publisher's limit of connections per host; 0: not said
};

// Answers "continue the shorter local file?" for a job.
class TResumeQuestion {
 public:
  virtual ~TResumeQuestion() = default;
  // `question` is the text to show; true continues, false fetches the whole
  // file. The answerer may run the event loop (a modal message box); the job
  // may be destroyed meanwhile, which it notices.
  virtual bool AskResume(const std::string& question) = 0;
};

// Tries after a transient failure that the window and quillon-get make.
constexpr int kDefaultRetries = 5;

// What the commit does with a NAME that exists when the file is complete.
enum class TExistingFile {
  kReplace,   // one rename over it
  kKeep,      // never replaced: the download fails and keeps NAME.part
  kKeepBoth,  // the file goes to the first free "NAME (n).ext" instead
};

// How an FTP download opens its data connections.
enum class TFtpDataMode {
  kPassiveFirst,  // passive; active once when passive finds no data connection
  kPassive,       // passive only
  kActive,        // active only
};

// What a job is doing. It has one phase at a time, changed only by
// SetPhase; with the outcome and the user's hold it gives everything else a
// row shows about the state: the pause link and its caption, the action
// link's mode, the row's role and whether the job counts as running.
enum class TJobPhase {
  kIdle,          // not started
  kAsking,        // the resume question is open
  kConnecting,    // a client connects, logs in and asks; no byte of the file yet
  kTransferring,  // the file's bytes arrive
  kPaused,        // only as Phase() reports it: held by the user (or a restored paused
                  // row that Resume starts); the phase beside the hold goes on
  kRetrying,      // waiting before the next try or mirror
  kCommitting,    // the writer finishes the part before its checks and rename
  kSettling,      // the outcome is known; the writer finishes a failed part,
                  // or the FTP session says goodbye
  kDone,          // ended, as Outcome says; kNone: a start refused by its first checks
                  // (its status says why; the action link stays in cancel mode), or,
                  // held, a paused download of an earlier run (Resume starts it)
};

// How a download ended (kNone while it has not).
enum class TJobOutcome { kNone, kComplete, kFailed, kCancelled };

// The action link's modes, as its tag holds them.
enum TActionMode { amCancel = 0, amOpen = 1, amStart = 2 };

inline constexpr const char* kResumeQuestion =
    "Previous file exists, resume download?\r\nPress YES to resume, NO for full download.";

class TDownloadJob {
 public:
  // Milliseconds of a monotonic clock; tests replace it.
  using TClock = std::function<int64_t()>;

  explicit TDownloadJob(TResumeQuestion* question = nullptr);
  ~TDownloadJob();
  TDownloadJob(const TDownloadJob&) = delete;
  TDownloadJob& operator=(const TDownloadJob&) = delete;

  // ---- Settings ---------------------------------------------------------------
  const std::string& URL() const { return url_; }
  // The URL that was set, also while a mirror of it is fetched.
  const std::string& PickedURL() const { return mirror_index_ > 0 ? picked_url_ : url_; }
  void SetURL(const std::string& v) {
    url_ = v;
    mirror_index_ = 0;
  }
  const std::string& LocalFilename() const { return local_filename_; }
  void SetLocalFilename(const std::string& v) { local_filename_ = set_filename_ = v; }
  // What becomes of a NAME that exists at the start or the end (kReplace by
  // default: the window asks before the start). With kKeepBoth each start
  // numbers from the name that was set, and LocalFilename() names the file
  // used.
  TExistingFile ExistingFile() const { return existing_; }
  void SetExistingFile(TExistingFile v) { existing_ = v; }
  // Caption of the action link while a transfer runs / when a (re)start is
  // offered; setting one changes the shown caption only in its own mode.
  const std::string& CancelCaption() const { return cancel_caption_; }
  void SetCancelCaption(const std::string& v);
  const std::string& DownloadCaption() const { return download_caption_; }
  void SetDownloadCaption(const std::string& v);
  void SetClockForTesting(TClock clock) { clock_ = std::move(clock); }
  // Seconds until a connection must stand / of silence that end a transfer
  // (0 or less: no limit); they apply from the next start.
  int ConnectTimeout() const { return connect_timeout_; }
  void SetConnectTimeout(int Seconds) { connect_timeout_ = Seconds; }
  int IdleTimeout() const { return idle_timeout_; }
  void SetIdleTimeout(int Seconds) { idle_timeout_ = Seconds; }
  void SetResumeQuestion(TResumeQuestion* q) { question_ = q; }
  void SetExpectedFile(TExpectedFile v) { expected_ = std::move(v); }
  const TExpectedFile& ExpectedFile() const { return expected_; }
  // Whether a start makes a missing destination folder (true by default); a
  // row brought back from the download list writes only into the folder it
  // was started for.
  void SetMakesFolder(bool v) { makes_folder_ = v; }
  // Tries after a transient failure (0, the default: none; the window and
  // quillon-get use kDefaultRetries) and the seconds before the first; they
  // apply from the next failure.
  int Retries() const { return retries_; }
  void SetRetries(int n) { retries_ = n < 0 ? 0 : n; }
  int RetryWait() const { return retry_wait_; }
  void SetRetryWait(int Seconds) { retry_wait_ = Seconds < 0 ? 0 : Seconds; }
  // kPassiveFirst by default; a proxy or SOCKS connection type set by
  // OnFtpClientCreated keeps the data connections passive.
  TFtpDataMode FtpDataMode() const { return ftp_data_mode_; }
  void SetFtpDataMode(TFtpDataMode v) { ftp_data_mode_ = v; }
  // Other URLs of the same file, tried in this order after URL() fails.
  void SetMirrors(std::vector<std::string> urls) { mirrors_ = std::move(urls); }
  const std::vector<std::string>& Mirrors() const { return mirrors_; }
  // Connections a download may open to one host at once (1, the default,
  // up to kMaxConnectionsPerHost); applies from the next start.
  static constexpr int kMaxConnectionsPerHost = 16;
  int ConnectionsPerHost() const { return connections_per_host_; }
  void SetConnectionsPerHost(int n) { connections_per_host_ = n < 1 ? 1 : n > kMaxConnectionsPerHost ? kMaxConnectionsPerHost : n; }
  // Receives each planned wait before a retry (milliseconds, the random part
  // and Retry-After included) and returns the milliseconds to wait instead.
  using TRetryWaitHook = std::function<int64_t(int64_t planned_ms)>;
  void SetRetryWaitForTesting(TRetryWaitHook hook) { retry_wait_hook_ = std::move(hook); }
  // Between a failure that is tried again and the next try.
  bool RetryPending() const { return phase_ == TJobPhase::kRetrying; }
  // The limit of received bytes a second shared with other downloads (not
  // owned; nullptr, the default: none). It must outlive the job or be
  // replaced first; it applies at once, to a running transfer too.
  void SetRateLimiter(TRateLimiter* limiter);
  TRateLimiter* RateLimiter() const { return rate_limiter_; }
  // Bytes a transfer may hold in memory, waiting for the disk, before its
  // socket waits too.
  void SetWriteQueueLimitForTesting(int64_t bytes) { write_queue_limit_ = bytes; }

  // ---- What a viewer shows ---------------------------------------------------------
  // Also while the writer still writes the bytes of a failed transfer that a
  // later start can continue.
  bool DownloadInProgress() const;
  // kPaused while the user holds the download.
  TJobPhase Phase() const { return held_ ? TJobPhase::kPaused : phase_; }
  TJobOutcome Outcome() const { return outcome_; }
  const std::string& Status() const { return status_; }
  // The row's look: its outcome once a transfer ends (a failed download looks
  // like a cancelled one), paused while the user holds it.
  TRowRole Role() const;
  int Position() const { return position_; }
  // Open once complete, start once ended otherwise and before a start,
  // cancel from a start on (and for a restored paused row).
  TActionMode ActionMode() const;
  const std::string& ActionCaption() const { return action_caption_; }
  // Counts the calls of SetActionCaption (which also refit the link's width);
  // a caption setter changes the text without counting.
  int ActionFitCount() const { return action_fit_count_; }
  bool ActionEnabled() const { return action_enabled_; }
  // While the user holds it, the file's bytes arrive, a retry waits, or an
  // HTTP request waits for its answer.
  bool PauseVisible() const;
  const std::string& PauseCaption() const;
  // True when the file's icon replaces the progress cylinder.
  bool IconShown() const { return icon_shown_; }
  // The newest progress text of this start with its percentage (-1: total
  // unknown), and whether the status shows it now.
  const TProgressText& Progress() const { return progress_; }
  bool ShowsProgress() const { return !progress_.text.empty() && status_ == progress_.text; }
  // Whether the status says why a source was left for a mirror
  // ("Giving up on <url>: <reason>", just before "Trying mirror").
  bool ShowsAbandonedSource() const { return !abandoned_text_.empty() && status_ == abandoned_text_; }
  // The class of the failure the status shows (kNone while nothing failed;
  // kGeneric for a failure no class fits), for this start.
  TFailureKind FailureKind() const { return failure_kind_; }

  THttpCli* HttpClient() const { return transfer_ ? transfer_->HttpClient() : nullptr; }
  TFtpClient* FtpClient() const { return transfer_ ? transfer_->FtpClient() : nullptr; }

  // ---- Operations ------------------------------------------------------------------
  void StartDownload();
  // The action link: cancel, start again or (open mode) nothing: opening the
  // file is the viewer's business.
  void ActionClick();
  // Aborts the running transfer (cancel mode only, while a download runs),
  // or ends a restored paused one (ShowRestored).
  void Cancel();
  // The pause link: "Pause" pauses the data connection and shows "Paused.",
  // "Resume" resumes it and brings the progress text back.
  void PauseClick();

  // What a download of an earlier run left, shown before any start (the
  // download list brought back after a restart):
  //   rsFinished: `status`, open mode, the complete colour and the file's icon;
  //   rsMissing: "File no longer exists.", start mode;
  //   rsPaused: "Paused." at `position`, cancel mode (Cancel ends it as
  //     "Download Cancelled." and keeps NAME.part), and the pause link
  //     "Resume", which starts the download continuing NAME.part without the
  //     question when its record proves it is the same file (as a retry
  //     does), and from nothing otherwise;
  //   rsFailed: `status`, start mode with the failure colour.
  enum TRestoredState { rsFinished, rsMissing, rsPaused, rsFailed };
  void ShowRestored(TRestoredState state, const std::string& status, int position);

  // Fired after every change of what a viewer shows.
  std::function<void(TDownloadJob* Sender)> OnChange;
  // Fired when a client has been created and wired, before its first
  // request: a caller may add settings (a proxy, credentials, passive mode).
  std::function<void(TDownloadJob* Sender, THttpCli* Client)> OnHttpClientCreated;
  std::function<void(TDownloadJob* Sender, TFtpClient* Client)> OnFtpClientCreated;

 private:
  // The transfers report into the job's state and call its steps below.
  friend class THttpTransfer;
  friend class TFtpSessionTransfer;
  friend class TPiecesTransfer;

  // A start: every check, NAME.part taken, then the first try in `mode`.
  void Begin(TTryMode mode);
  bool TakePart();
  // The URL as the part's record keeps it and compares it: without its
  // password (RedactedUrl), which is never written to disk.
  std::string RecordedUrl() const { return RedactedUrl(url_); }
  // A new transfer for URL(), of its scheme, started in `mode`
  // (`ftp_active`: FTP in active mode after passive found no data
  // connection).
  void StartTry(TTryMode mode, bool ftp_active = false);
  // The sources a try of URL() fetches pieces from at once (TPiecesTransfer):
  // the URL with more than one connection per host, or with its http, https
  // and ftp mirrors when a SHA-256 (the file's or its pieces') proves the
  // result. Empty for one source over one connection (the common case: one
  // GET or one FTP session), once a mirror is being tried, and after a
  // server answered a request for a part with the whole file (or an FTP
  // server gave no SIZE or refused REST).
  std::vector<std::string> PieceSources() const;
  // After a failure with the status text `failure`: asks the retry policy
  // and schedules a retry or the next mirror, and says whether it did (the
  // caller then shows it). Before a mirror the status says why this source
  // is left (AbandonedText). When the policy gives up, `failure` is the
  // text it gives (an https URL whose remaining mirrors were passed over
  // says so).
  bool RetryOrMirror(std::string& failure, const TTryFailure& how);
  // The status of a wait before the next try (kept behind "Paused." while
  // the user holds the row).
  void ShowRetryStatus(const std::string& text);
  // A SHA-256 mismatch of a part that two sources wrote: schedules one fetch
  // of the whole file from the current source and returns true; false for
  // any other failure.
  bool RefetchSplicedPart(const std::string& failure);
  // Waits for the writer, then `wait_ms`, in the retrying phase, then runs
  // `next` (RetryNow).
  void Schedule(std::function<void()> next, int64_t wait_ms);
  // Once the writer has written every queued byte of the part (which stays
  // held), runs `next`; a write failure ends the download instead.
  void AfterPartWritten(std::function<void()> next);
  void RetryNow();
  // Whether the wait before the next try ended while the user held the row
  // (Resume then starts the try).
  bool RetryDue() const;
  // The wait before RetryNow (the event loop's timer).
  void StartRetryTimer(int64_t ms);
  // Goes on with source `k` (1 for the first mirror).
  void NextMirror(size_t k);
  // Ends a pending retry or mirror (Cancel): the part is kept or removed.
  void DropPendingRetry();
  // A stream for this transfer's bytes on the held NAME.part: emptied with its
  // record, or cut to `keep` bytes and continued there. Throws when the file
  // cannot be written.
  void OpenPartStream(int64_t keep);
  // Once the writer has written every byte of the part (at once when this
  // start received nothing: the part as it stands, created empty if need
  // be), runs CommitDownload and then `then` with its result.
  void CommitWhenWritten(int64_t expected_size, std::function<void(const std::string& failure)> then);
  // The one step from a transferred part to NAME: every check of the whole
  // file (the transfer's size, the publisher's size and SHA-256 `digest`),
  // then the closed part, still held, is renamed to NAME as ExistingFile()
  // says. "" on success, else the status text of the failure.
  std::string CommitDownload(int64_t expected_size, const std::string& digest);
  // After a failure: a part that a later start can continue first gets every
  // byte still queued (unless `drop`: a cancel does not wait), then it is
  // kept or removed (KeepOrRemovePart).
  void SettlePart(bool continuable, bool drop);
  // The part stream failed (a write on the writer thread, a disk that
  // accepted nothing for the idle limit, a body past the publisher's size):
  // the transfer ends with `failure`, the status text.
  void WriteFailed(const std::string& failure);
  std::string WriteFailure() const;
  // The socket waits while the user holds the row, the part's queue is
  // full or the rate limiter holds every download.
  void ApplyPause();
  // A transfer received `bytes` (of the file or not) on `client` (nullptr:
  // not over HTTP): the rate limiter's account; the client's reads then
  // take the limiter's read size.
  void SpendReceived(int64_t bytes, THttpCli* client = nullptr);
  std::string SizeMismatch(int64_t announced) const;
  std::string CompletionText(const char* text) const;
  // The failure text of a SHA-256 mismatch (see TExpectedFile::from_command_line).
  std::string NotTheFileText() const;
  // The one end of holding NAME.part, after a commit, a failure, a cancel or
  // with the job: keeps NAME.part when a later start can continue it (and it
  // has bytes), removes it otherwise, and releases the lock.
  void KeepOrRemovePart(bool continuable);
  // Ends a transfer: open mode on success, start mode with the failure text
  // otherwise (a status text already set stays when `failure` is empty).
  void Finish(bool complete, const std::string& failure);
  // Finish after an HTTP commit: "Download Complete." (" (verified)") when
  // `failure` is empty.
  void FinishCommitted(const std::string& failure);
  // Notes the class of this request's failure; the first one noted stays.
  void NoteFailure(TFailureKind kind) {
    if (failure_kind_ == TFailureKind::kNone) failure_kind_ = kind;
  }
  void UpdateProgress(double total, double received);
  bool UpdateDue();
  void BeginTransfer(int64_t base_count);
  void SetActionCaption(const std::string& text);
  void ToStartMode();
  void ShowFileIcon();
  void ReleaseClients();
  // The one place the phase changes. A change to any phase but kRetrying
  // and kTransferring ends the user's hold.
  void SetPhase(TJobPhase phase);
  // The one place the outcome changes. The end that a cancel causes does
  // not turn it into a failure.
  void SetOutcome(TJobOutcome outcome);
  // The transfer has ended: done, unless the writer still settles the part
  // or the FTP session still says goodbye.
  void EndTransfer();
  // Fires OnChange and returns whether the job survived it: its handler may
  // destroy the job (a row removing itself).
  [[nodiscard]] bool Changed();
  // Fires OnChange as the last step of a function: nothing follows it.
  void ChangedLast();
  int64_t NowMs() const;

  TResumeQuestion* question_;
  TClock clock_;
  std::string url_;
  std::string local_filename_;
  std::string set_filename_;  // as SetLocalFilename gave it
  TExistingFile existing_ = TExistingFile::kReplace;
  bool makes_folder_ = true;
  std::string cancel_caption_;
  std::string download_caption_ = "Download";

  // What the download is doing, and, beside it, whether the user holds it
  // (Pause): a held download keeps its phase, which Resume goes on with.
  TJobPhase phase_ = TJobPhase::kIdle;
  bool held_ = false;
  TJobOutcome outcome_ = TJobOutcome::kNone;
  std::string status_ = "...";
  int position_ = 0;
  std::string action_caption_ = "Download";
  int action_fit_count_ = 0;
  bool action_enabled_ = true;
  // While held the status says "Paused." and the text that would be shown
  // waits here until Resume.
  std::string progress_text_;
  TProgressText progress_;
  bool icon_shown_ = false;

  int connect_timeout_ = kDefaultConnectTimeout;
  int idle_timeout_ = kDefaultIdleTimeout;
  std::string part_name_;
  TPartialFile part_;  // NAME.part while this download holds it
  // The current run: a start, each new client of its tries, and a cancel
  // begin a new one. Work that waited (a question, a client's event) goes on
  // only in its own run.
  TRunCounter run_;

  TExpectedFile expected_;
  int64_t write_queue_limit_;
  std::unique_ptr<TQueuedFileStream> part_stream_;
  bool queue_full_ = false;   // between the part queue's OnFull and OnDrained
  TRateLimiter* rate_limiter_ = nullptr;
  int rate_limiter_key_ = 0;  // this job's registration with rate_limiter_
  bool verified_ = false;     // the completed file matched the publisher's SHA-256
  std::string write_error_;   // the status text of the part stream's failure
  TFailureKind failure_kind_ = TFailureKind::kNone;

  // The try under way, or the last one (its client gone) until the next.
  std::unique_ptr<TTransfer> transfer_;
  TFtpDataMode ftp_data_mode_ = TFtpDataMode::kPassiveFirst;
  int64_t transfer_start_ms_ = 0;
  int64_t next_update_ms_ = 0;
  int64_t base_count_ = 0;  // bytes already on disk when the transfer began
  int retries_ = 0;
  int retry_wait_ = 1;
  int attempt_ = 0;                  // retries of the current URL so far
  std::function<void()> retry_next_;  // what starts when the wait ends
  std::unique_ptr<platform::OneShotTimer> retry_timer_;
  TRetryWaitHook retry_wait_hook_;
  std::vector<std::string> mirrors_;
  int connections_per_host_ = 1;
  size_t mirror_index_ = 0;          // 0: the URL set; k: mirrors_[k - 1]
  std::string picked_url_;           // the URL set, while a mirror is fetched
  std::string mirror_status_;        // shown until the mirror's answer
  std::string abandoned_text_;       // why the last source was left for a mirror
  bool spliced_ = false;             // the part holds bytes of two sources
  bool pieces_refused_ = false;      // a server sent the whole file for a part: one GET
  std::string sources_text_;         // "from 3 sources", in the progress line
  // Expires with the job, so that code after a modal question or an event
  // can tell; the last member.
  TLifetime lifetime_;
};

}  // namespace quillon
