// TPieceFetcher: one connection of a download in pieces (TPiecesTransfer) to
// one source, in the protocol of the source's URL. It asks for one piece of
// the file after another on the same connection where the protocol allows,
// and reports the same things whatever the protocol, so that the plan's
// bookkeeping is shared:
//   OnAnswer  before the first byte of a piece: what the source said about
//             it (the part asked for, the whole file instead, another part,
//             another version), the file's total and its validator. The
//             handler returns the stream the piece's bytes go to (written
//             from its position), or nullptr to refuse the piece: the
//             request then ends and OnEnd reports it. It may lower `end`
//             (the first request, asked for before the length was known).
//   OnData    bytes went to the stream (its Position says how far).
//   OnEnd     the request ended: in order (`answered`: every byte the
//             source meant to send for the piece came; whether they were
//             all of it is the stream's count), or failed, with the reason,
//             its class, whether a later try may succeed, and a source's wish
//             to be left alone for a while. OnEnd's handler may destroy the
//             fetcher; the other handlers may not.
//
// HTTP (and https): a THttpCli on one persistent connection, each piece a
// "Range: bytes=B-E" request with "If-Range: <validator>" once the source
// named one.
// FTP: one session of a TFtpClient (the URL's login, else anonymous; TYPE I;
// passive data connections unless the job's FtpDataMode says active). SIZE
// gives the total: a server without a SIZE answer serves no pieces
// (`no_parts`). MDTM is the validator, asked again before every piece (a
// file whose MDTM changed is another version). Each piece is "REST <from>"
// and RETR, and the data connection is closed once exactly end - from bytes
// came, the server's 226, 426 or 451 that follows being the piece's end, so
// that the same session serves the next piece. A REST the server refuses
// means no pieces too.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "download/download_failure.h"

namespace quillon {

class THttpCli;
class TFtpClient;
class TStream;
enum class TFtpDataMode;

class TPieceFetcher {
 public:
  enum class TAnswerKind { kPart, kWhole, kOtherPart, kOtherVersion };
  struct TAnswer {
    TAnswerKind kind = TAnswerKind::kPart;
    int64_t total = -1;     // the file's length; -1: not said
    std::string validator;  // of the version served; "" : none
    std::string status;     // kWhole: the answer's status ("200 OK")
  };
  struct TEnd {
    bool answered = false;
    std::string reason;  // why it failed, in plain words
    TFailureKind kind = TFailureKind::kGeneric;
    bool transient = false;        // the answer says a later try may succeed
    uint16_t socket_error = 0;     // the client's error, for TransientSocketError
    bool busy = false;             // the source asks to be left alone (429, 503)
    int64_t retry_after_ms = -1;   // and for how long (-1: not said)
    bool no_parts = false;         // the source cannot serve pieces (`reason` says why)
  };

  virtual ~TPieceFetcher() = default;
  // Wires the client and fires the download's client-created hook; false
  // when its handler destroyed the download (stop at once).
  virtual bool Open() = 0;
  // Asks for bytes [from, end) of the version `validator` ("" : the one
  // served). One request at a time.
  virtual void Fetch(int64_t from, int64_t end, const std::string& validator) = 0;
  // Ends the request under way (OnEnd follows, from the event loop) and the
  // connection; between pieces it only closes the connection.
  virtual void Abort() = 0;
  // Stops or resumes reading the piece's bytes.
  virtual void Hold(bool wait) = 0;
  // The stream handed out by OnAnswer is written no more.
  virtual void Release() = 0;
  virtual THttpCli* Http() const { return nullptr; }
  virtual TFtpClient* Ftp() const { return nullptr; }

  std::function<TStream*(const TAnswer& answer, int64_t& end)> OnAnswer;
  std::function<void()> OnData;
  std::function<void(const TEnd& end)> OnEnd;
};

// What a fetcher needs of its download.
struct TPieceSource {
  std::string url;
  std::string part_name;  // the part's file name (the FTP client wants one)
  int connect_timeout = 0;
  int idle_timeout = 0;
  TFtpDataMode ftp_data_mode{};
  // The download's client-created hooks; false when the download is gone.
  std::function<bool(THttpCli*)> http_created;
  std::function<bool(TFtpClient*)> ftp_created;
};

// A fetcher for the source's scheme: FTP for ftp://, HTTP otherwise.
std::unique_ptr<TPieceFetcher> MakePieceFetcher(TPieceSource source);

}  // namespace quillon
