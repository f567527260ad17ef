// TCustomWSocket: an event-driven IPv4 and IPv6 socket for the thread that
// runs the event loop. No operation waits for the network (resolving a host name given
// to Addr or LocalAddr that is not a dotted address is the one exception). The
// socket watches its handle through the platform's readiness notification and
// turns what it reports into events:
//
//   OnChangeState(Sender, OldState, NewState)  every state change
//   OnDnsLookupDone(Sender, Error)             DnsLookup / ReverseDnsLookup ended
//   OnSessionConnected(Sender, Error)          a connect attempt completed
//   OnSessionAvailable(Sender, Error)          a listening socket has a call
//   OnDataAvailable(Sender, Error)             data can be read (read it!)
//   OnDataSent(Sender, Error)                  the send queue became empty
//   OnSendData(Sender, BytesSent)              each network send of >= 1 byte
//   OnSessionClosed(Sender, Error)             the connection ended (once)
//   OnError(Sender)                            replaces ESocketException
//   OnBgException(Sender, E, CanClose)         an event handler threw
//
// Events are std::function members; each fires only when assigned. Error is a
// socket error number (platform/winsock_errors.h), 0 for success; the SOCKS
// layer adds 20001-20017 (socks_wsocket.h), the TLS layer 20101-20104
// (ssl_wsocket.h).
//
// Addresses are dotted IPv4 or IPv6 text ("::1", also accepted in brackets).
// A name with several addresses is connected to by racing them: the first
// address is tried, the next one 250 ms later if nothing has connected yet (at
// once when an attempt fails), and so on through the list; the first
// connection wins and the other attempts are closed. The race is invisible to
// the events: they are those of one connect, and a connect that fails on
// every address reports the error of the last attempt that failed. Addr set
// to DnsResult() after a DnsLookup of this socket races every address of
// DnsResultList().
//
// Event orders the users rely on:
//  - outgoing: wsClosed -> wsOpened -> wsConnecting -> wsConnected, then
//    OnSessionConnected(0), then a first OnDataSent (the connection is
//    writable). A refused connection also passes through wsConnected:
//    OnSessionConnected(10061), wsConnected -> wsClosed, OnSessionClosed(0).
//  - a peer that ends the connection: OnDataAvailable for what it sent, then
//    exactly one OnSessionClosed while State is still wsConnected, then
//    wsClosed. After a local Close or Abort, State is already wsClosed when
//    OnSessionClosed fires. OnSessionClosed never fires during destruction.
//
// Reporting failures: checks of arguments and state go through
// RaiseSocketError (OnError when assigned, else ESocketException with the
// message); failed system calls go through SocketError, whose message is
// "Error <n> in function <name>" CR LF SocketErrorText(n). An exception that
// escapes an event handler while the socket handles a message from the event
// loop is given to OnBgException; by default the socket is then aborted.
//
// An event handler may call any operation of its socket, including Close and
// PumpMessages, and may destroy the socket (also with FreeLater): the socket
// does not touch itself after a handler that destroyed it returns.
//
// The class chain is TCustomWSocket -> TCustomSocksWSocket (SOCKS client) ->
// TCustomSslWSocket (TLS) -> TCustomLineWSocket (line mode) -> TCustomSyncWSocket (waiting) -> TWSocket;
// include net/socket/sync_wsocket.h for TWSocket.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/exceptions.h"
#include "base/lifetime.h"
#include "net/socket/buffer.h"
#include "platform/message_target.h"
#include "platform/socket_notifier.h"
#include "platform/timer.h"

namespace quillon {

using Word = uint16_t;
using TSocket = int;
inline constexpr TSocket INVALID_SOCKET = -1;
using TSockAddrIn = sockaddr_in;
// An address of either family.
using TSockAddr = sockaddr_storage;

// Ordinal values are part of the interface.
enum TSocketState {
  wsInvalidState = 0,
  wsOpened = 1,
  wsBound = 2,
  wsConnecting = 3,
  wsConnected = 4,
  wsAccepting = 5,
  wsListening = 6,
  wsClosed = 7,
};

enum TSocketSendFlags { wsSendNormal = 0, wsSendUrgent = 1 };
enum TSocketLingerOnOff { wsLingerOff = 0, wsLingerOn = 1, wsLingerNoSet = 2 };
enum TWSocketOption { wsoNoReceiveLoop = 0, wsoTcpNoDelay = 1 };

// A set of TWSocketOption.
class TWSocketOptions {
 public:
  TWSocketOptions() = default;
  TWSocketOptions(std::initializer_list<TWSocketOption> options) {
    for (TWSocketOption o : options) Include(o);
  }
  bool Contains(TWSocketOption o) const { return (bits_ >> o) & 1u; }
  TWSocketOptions& Include(TWSocketOption o) {
    bits_ |= 1u << o;
    return *this;
  }
  TWSocketOptions& Exclude(TWSocketOption o) {
    bits_ &= ~(1u << o);
    return *this;
  }
  bool operator==(const TWSocketOptions&) const = default;

 private:
  unsigned bits_ = 0;
};

// Messages of the socket's notification target.
inline constexpr uint32_t WM_ASYNCSELECT = 1025;
inline constexpr uint32_t WM_ASYNCGETHOSTBYNAME = 1026;
inline constexpr uint32_t WM_ASYNCGETHOSTBYADDR = 1027;
inline constexpr uint32_t WM_CLOSE_DELAYED = 1028;
inline constexpr uint32_t WM_WSOCKET_RELEASE = 1029;
inline constexpr uint32_t WM_TRIGGER_EXCEPTION = 1030;
inline constexpr uint32_t WM_CONNECT_RACE = 1031;  // readiness of a racing connect attempt
inline constexpr uint32_t WM_TRIGGER_DATA_AVAILABLE = 1044;

// The exception of socket failures that no OnError handler took.
class ESocketException : public Exception {
 public:
  using Exception::Exception;
};

class TCustomWSocket;

using TChangeStateEvent = std::function<void(TCustomWSocket* Sender, TSocketState OldState, TSocketState NewState)>;
using TSessionEvent = std::function<void(TCustomWSocket* Sender, Word Error)>;
using TSendDataEvent = std::function<void(TCustomWSocket* Sender, int BytesSent)>;
using TNotifyEvent = std::function<void(TCustomWSocket* Sender)>;
using TBgExceptionEvent = std::function<void(TCustomWSocket* Sender, const std::exception& E, bool& CanClose)>;

class TCustomWSocket : private platform::MessageHandler {
 public:
  TCustomWSocket();
  virtual ~TCustomWSocket();
  TCustomWSocket(const TCustomWSocket&) = delete;
  TCustomWSocket& operator=(const TCustomWSocket&) = delete;

  // ---- Properties ------------------------------------------------------
  // Remote host, dotted address or name; trimmed. Only while wsClosed
  // ("Cannot change Addr if not closed"); the same text changes nothing.
  // Must be assigned again after every close. Empty = unassigned.
  const std::string& Addr() const { return addr_; }
  void SetAddr(const std::string& Value);
  // Remote port, decimal or service name; same rules as Addr.
  const std::string& Port() const { return port_; }
  virtual void SetPort(const std::string& Value);
  // Protocol, decimal or name ("tcp" by default); same rules as Addr.
  const std::string& Proto() const { return proto_; }
  virtual void SetProto(const std::string& Value);
  // Local address to bind ("0.0.0.0"; empty stores that). Any assignment
  // while not wsClosed reports "Cannot change LocalAddr if not closed".
  const std::string& LocalAddr() const { return local_addr_; }
  void SetLocalAddr(const std::string& Value);
  // Local port to bind ("0"); same rule as LocalAddr.
  const std::string& LocalPort() const { return local_port_; }
  void SetLocalPort(const std::string& Value);

  // Address text / decimal port of the peer; "error" unless wsConnected.
  virtual std::string PeerAddr();
  virtual std::string PeerPort();
  // Address / port the handle is bound to in wsBound, wsConnected or
  // wsListening; "error" otherwise.
  std::string BoundAddr();
  std::string BoundPort();

  // First address (or the name, after ReverseDnsLookup) of the last lookup,
  // and all its addresses.
  const std::string& DnsResult() const { return dns_result_; }
  const std::vector<std::string>& DnsResultList() const { return dns_result_list_; }

  TSocketState State() const { return state_; }
  TSocket HSocket() const { return hsocket_; }
  // Bytes received through Receive and ReceiveFrom since the last reset.
  int64_t ReadCount() const { return read_count_; }
  // Bytes waiting to be read (FIONREAD); -1 on failure.
  virtual int RcvdCount();
  int LastError() const { return last_error_; }

  bool MultiThreaded() const { return multi_threaded_; }
  void SetMultiThreaded(bool Value) { multi_threaded_ = Value; }
  bool MultiCast() const { return multi_cast_; }
  void SetMultiCast(bool Value) { multi_cast_ = Value; }
  const std::string& MultiCastAddrStr() const { return multi_cast_addr_str_; }
  void SetMultiCastAddrStr(const std::string& Value) { multi_cast_addr_str_ = Value; }
  int MultiCastIpTTL() const { return multi_cast_ip_ttl_; }
  void SetMultiCastIpTTL(int Value) { multi_cast_ip_ttl_ = Value; }
  bool ReuseAddr() const { return reuse_addr_; }
  void SetReuseAddr(bool Value) { reuse_addr_ = Value; }
  TWSocketOptions ComponentOptions() const { return component_options_; }
  void SetComponentOptions(TWSocketOptions Value) { component_options_ = Value; }
  // wsSendNormal or wsSendUrgent; anything else reports "Invalid SendFlags".
  TSocketSendFlags SendFlags();
  void SetSendFlags(TSocketSendFlags Value);
  // SO_LINGER: wsLingerOn with a timeout > 0 makes closing wait up to that
  // many seconds for unsent data; wsLingerOn with 0 and wsLingerOff close in
  // the background without losing data; wsLingerNoSet leaves the system's
  // setting. (Abort alone resets the connection.)
  TSocketLingerOnOff LingerOnOff() const { return linger_on_off_; }
  void SetLingerOnOff(TSocketLingerOnOff Value) { linger_on_off_ = Value; }
  int LingerTimeout() const { return linger_timeout_; }
  void SetLingerTimeout(int Value) { linger_timeout_ = Value; }
  // Capacity of new send-queue blocks (1460).
  int SendBlockSize() const { return send_block_size_; }
  void SetSendBlockSize(int Value) { send_block_size_ = Value > 0 ? Value : 1460; }
  // True when no unsent byte is queued.
  bool AllSent() const { return all_sent_; }
  bool Paused() const { return paused_; }
  // Bytes queued and not yet handed to the network.
  int64_t BufferedByteCount() const;
  // The unsent bytes of each block of the send queue, oldest first.
  std::vector<int> SendQueueBlockSizes() const;

  // The target of the socket's messages (readiness 1025, lookups 1026 and
  // 1027, CloseLater 1028, FreeLater 1029, test exception 1030).
  platform::MessageTarget& NotifyWindow() { return target_; }

  // ---- Operations --------------------------------------------------------
  // Resolves Proto, Port, LocalPort and Addr (once per connection), creates
  // the socket and starts a non-blocking connect; the outcome arrives as
  // OnSessionConnected. Datagram sockets are connected at once.
  virtual void Connect();
  // Shuts down sending, closes and fires OnSessionClosed(0).
  virtual void Close();
  // Post WM_CLOSE_DELAYED / WM_WSOCKET_RELEASE: Close, or destruction (for a
  // socket made with new and owned by nobody else), from the event loop.
  virtual void CloseLater();
  virtual void FreeLater();
  // Cancels a lookup, drops unsent data, resets a connected TCP connection
  // and closes.
  virtual void Abort();
  // Pushes queued data until none is left or the handle is gone, running the
  // event loop meanwhile.
  virtual void Flush();
  // Runs the event loop, delivering data, until the connection is closed.
  virtual void WaitUntilClosed();
  // Binds to Addr:Port and listens (TCP), or binds and is connected at once
  // (datagram).
  virtual void Listen();
  // Accepts one call of a listening socket; the handle is for another
  // socket's Dup. -1 on failure.
  virtual TSocket Accept();
  // Adopts an accepted handle and becomes wsConnected.
  virtual void Dup(TSocket NewHSocket);
  // One read from the network into Buffer; bytes read (0: the peer ended the
  // connection) or -1 with LastError set (10035 when nothing is there).
  virtual int Receive(void* Buffer, int BufferSize);
  // Reads what RcvdCount reports (255 bytes when it reports 0).
  virtual std::string ReceiveString();
  // Datagram receive with the sender's address.
  virtual int ReceiveFrom(void* Buffer, int BufferSize, TSockAddrIn& From, int& FromLen);
  // Queues Len bytes and tries to send them now; OnDataSent follows from the
  // event loop once the queue is empty. Requires wsConnected; returns Len
  // (0 for Len <= 0) or -1.
  virtual int Send(const void* Data, int Len);
  // One datagram to Dest; not queued.
  virtual int SendTo(const TSockAddrIn& Dest, int DestLen, const void* Data, int Len);
  virtual int SendString(const std::string& Str);
  // Pushes queued bytes into the network until it would block or the queue
  // is empty.
  void TryToSend();
  // Starts an asynchronous lookup of HostName's addresses; a dotted address
  // completes before the call returns. A pending lookup is cancelled
  // silently. OnDnsLookupDone reports the outcome.
  virtual void DnsLookup(const std::string& HostName);
  // Starts an asynchronous lookup of the name of a dotted address.
  virtual void ReverseDnsLookup(const std::string& HostAddr);
  // Cancels a pending lookup: OnDnsLookupDone(10004). Nothing without one.
  virtual void CancelDnsLookup();
  // getpeername when wsConnected, else -1.
  virtual int GetPeerName(TSockAddr& Name, int NameLen);
  virtual int GetSockName(TSockAddr& Name, int& NameLen);
  // shutdown(How) when a handle exists (0 receive, 1 send, 2 both).
  virtual void Shutdown(int How);
  // Stop / restore all notifications; readiness found meanwhile is reported
  // after Resume.
  virtual void Pause();
  virtual void Resume();
  // One pass of the event loop.
  virtual void PumpMessages();
  // The same, sleeping first until an event is due (platform::WaitForMessages).
  virtual void WaitForMessages();

  // Drains readable data by firing OnDataAvailable while data is pending
  // (or reading and discarding it, 1024 bytes at a time, without a handler).
  // Unless Drain is set, one call reads at most kReceiveBudget bytes in at
  // most kReceiveRounds rounds and then returns with data still pending: the
  // readiness is reported again on the next pass of the event loop, so one
  // fast peer cannot keep every other socket (and the window) waiting.
  // wsoNoReceiveLoop still means one round, and a handler that pauses the
  // socket ends the loop.
  void ReceiveLoop(Word Error, TWSocketOptions Options, bool Drain = false);
  // 256 KiB: with 50 fast downloads, one pass of the event loop reads at
  // most about 12 MiB, which keeps the window's stalls near 50 ms.
  static constexpr int64_t kReceiveBudget = 256 << 10;
  static constexpr int kReceiveRounds = 64;

  // Fails like a system call that failed with LastSocketError().
  void SocketError(const std::string& FuncName);

  // The number of socket objects alive in the process.
  static int LivingSocketCount();

  // ---- Events --------------------------------------------------------------
  TChangeStateEvent OnChangeState;
  TSessionEvent OnDnsLookupDone;
  TSessionEvent OnSessionConnected;
  TSessionEvent OnSessionAvailable;
  TSessionEvent OnDataAvailable;
  TSessionEvent OnDataSent;
  TSendDataEvent OnSendData;
  TSessionEvent OnSessionClosed;
  TNotifyEvent OnError;
  TBgExceptionEvent OnBgException;

 protected:
  // Handles one message of the notification target; subclasses add their own
  // messages and pass the rest on.
  virtual void WndProc(uint32_t Msg, uintptr_t WParam, intptr_t LParam);
  // Returns the socket to its closed defaults (after every close).
  virtual void ResetFields();
  virtual void InternalClose(bool Shut, Word Error);
  virtual void BindSocket();
  virtual int RawSend(const void* Data, int Len);
  void RaiseSocketError(const char* Fmt, ...) __attribute__((format(printf, 2, 3)));
  virtual void RaiseSocketError(const std::string& Msg);
  virtual void HandleBackgroundException(const std::exception& E);
  // Fires OnDataAvailable; false when no handler is assigned.
  virtual bool FireDataAvailable(Word Error);
  virtual void FireSessionAvailable(Word Error);
  virtual void FireSessionConnected(Word Error);
  virtual void FireSessionClosed(Word Error);
  virtual void FireDataSent(Word Error);
  virtual void FireChangeState(TSocketState OldState, TSocketState NewState);
  virtual void FireDnsLookupDone(Word Error);
  virtual void FireError();
  virtual int RawReceive(void* Buffer, int BufferSize);
  virtual int RawReceiveFrom(void* Buffer, int BufferSize, TSockAddrIn& From, int& FromLen);

  // Tokens of the socket's lifetime: code that fires an event and goes on
  // afterwards checks one taken before (base/lifetime.h).
  const TLifetime& Lifetime() const { return lifetime_; }
  // True once PumpMessages or WaitForMessages saw the application's quit request.
  bool Terminated() const { return terminated_; }
  // Sets LastError and the thread's last socket error to Error.
  void SetLastError(int Error);
  // Remote texts (Addr, Port, and the SOCKS server's) change only while
  // closed; the same text again is always accepted. Stores the trimmed Value
  // in Field, marks the part Which for resolving again and returns true;
  // otherwise reports Message (for a different text) and returns false.
  enum class TRemotePart { Addr, Port, Proto };
  bool ChangeRemoteText(std::string& Field, const std::string& Value, const char* Message, TRemotePart Which);
  // Resolve the remote port and address Connect goes to, once per connection
  // (the SOCKS layer passes its server's); raise ESocketException.
  void ResolveRemotePort(const std::string& Port);
  void ResolveRemoteAddr(const std::string& Host);
  // Places ReadCount anywhere (near the 32-bit limit, for instance).
  void SetReadCountForTesting(int64_t Count) { read_count_ = Count; }

 private:
  // The kind of socket that the protocol asks for.
  enum class TSocketType { Stream, Datagram, Raw };

  // Clears what one connection leaves behind for the next; called whenever a
  // handle is created or adopted (Connect, Listen, Dup).
  void BeginConnection();
  void ChangeState(TSocketState NewState);
  void ApplyLinger();
  void DropSendQueue();
  // Closes the handle itself (stops notifications first).
  void CloseHandle();
  void HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
  void Do_FD_Notify(uintptr_t WParam, intptr_t LParam);
  void DnsLookupDone(uintptr_t WParam, intptr_t LParam, bool Reverse);
  void QueueData(const void* Data, int Len);
  // getpeername while wsConnected (a failure reported as the call FuncName),
  // getsockname while wsBound, wsConnected or wsListening; false otherwise.
  bool PeerName(TSockAddr& Name, const char* FuncName);
  bool BoundName(TSockAddr& Name) const;
  // The start of DnsLookup and ReverseDnsLookup: an invalid name is reported
  // (Message, then OnDnsLookupDone(10022)) and gives false; otherwise a
  // pending lookup is cancelled silently and the results are cleared.
  bool BeginLookup(bool Valid, const char* Message);
  // Resolves Proto, Port, LocalPort (not for listening) and Addr once per
  // connection; raises ESocketException.
  void ResolveTexts(bool Listening);
  // The message of the first text Connect (or Listen) needs that is not
  // assigned; nullptr when all are.
  const char* UnassignedText(bool Listening) const;
  // Resolves the texts, drops what an earlier connection left queued and
  // creates the handle; false after reporting a failure.
  bool OpenHandle(bool Listening);
  // A failed system call: SocketError with errno's (or Error's) number.
  void SocketErrorFromErrno(const char* FuncName);
  void SocketErrorWith(int Error, const char* FuncName);
  // setsockopt on the handle; false after reporting a failure as the failed
  // call Name.
  bool SetOption(int Level, int Option, const void* Value, socklen_t Size, const char* Name);
  bool SetFlag(int Level, int Option, const char* Name);
  // The options Connect sets on a new datagram or stream handle.
  bool SetDatagramOptions();
  bool SetStreamOptions();
  // The connect race of a name with several addresses (see the top).
  // StartRace connects hsocket_ to the first address; StartNextAttempt opens
  // and connects a handle to the next one; RaceNotify takes the outcome of
  // an attempt; StopRace closes every attempt but hsocket_.
  struct TConnectAttempt;
  void StartRace();
  void StartNextAttempt();
  void AddAttempt(TSocket Handle, int ConnectError);
  void RaceNotify(uintptr_t WParam, intptr_t LParam);
  void StopRace();
  // The remote address of candidate Index with the resolved port.
  TSockAddr CandidateAddress(size_t Index, socklen_t& Len) const;

  TSocket hsocket_ = INVALID_SOCKET;
  TSocketState state_ = wsClosed;
  TSockAddr sin_{};  // remote address: family, port (network order), address
  socklen_t sin_len_ = sizeof(sockaddr_in);
  uint16_t remote_port_ = 0;          // network order
  std::vector<TSockAddr> candidates_;  // the remote addresses, in the order they are tried
  std::vector<std::unique_ptr<TConnectAttempt>> racing_;
  size_t next_candidate_ = 0;
  std::unique_ptr<platform::OneShotTimer> race_timer_;
  std::string addr_, port_, proto_ = "tcp";
  std::string local_addr_ = "0.0.0.0", local_port_ = "0";
  bool addr_assigned_ = false, port_assigned_ = false, proto_assigned_ = true;
  bool addr_resolved_ = false, port_resolved_ = false, proto_resolved_ = false;
  bool local_port_resolved_ = false;
  int proto_number_ = IPPROTO_TCP;
  TSocketType socket_type_ = TSocketType::Stream;
  int local_port_number_ = 0;
  uint16_t select_mask_ = 0;
  int64_t read_count_ = 0;
  int last_error_ = 0;
  bool all_sent_ = true;
  bool paused_ = false;
  bool close_notified_ = false;
  bool terminated_ = false;  // the quit request was seen by PumpMessages
  int send_flags_ = 0;
  platform::MessageTarget target_;
  platform::SocketNotifier notifier_;
  std::deque<std::unique_ptr<TBuffer>> send_queue_;
  int send_block_size_ = 1460;
  std::string dns_result_;
  std::vector<std::string> dns_result_list_;
  uint32_t dns_lookup_handle_ = 0;
  bool multi_threaded_ = false;
  bool multi_cast_ = false;
  std::string multi_cast_addr_str_;
  int multi_cast_ip_ttl_ = 1;
  bool reuse_addr_ = false;
  TWSocketOptions component_options_;
  TSocketLingerOnOff linger_on_off_ = wsLingerOn;
  int linger_timeout_ = 0;
  TLifetime lifetime_;  // last: its tokens expire first

  static std::atomic<int> living_sockets_;
};

// ---- Global functions ---------------------------------------------------------

// The IPv4 address of Host (dotted text, or a name resolved with a blocking
// lookup), in network byte order. Raises ESocketException.
in_addr WSocketResolveHost(const std::string& Host);
// The addresses of Host, IPv4 and IPv6 (an address text, or a name resolved
// with a blocking lookup), in the order they are tried; port 0. Raises
// ESocketException with WSocketResolveHost's messages.
std::vector<TSockAddr> WSocketResolveAddresses(const std::string& Host);
// Text as an address of either family (IPv6 also in brackets), port 0;
// false for anything else.
bool ParseIPAddress(const std::string& Text, TSockAddr& Address);
// "192.0.2.1" or "2001:db8::1" (no brackets); "error" for other families.
std::string AddressText(const TSockAddr& Address);
// The port of an address, host order.
uint16_t AddressPort(const TSockAddr& Address);
void SetAddressPort(TSockAddr& Address, uint16_t PortNetworkOrder);
socklen_t AddressLength(const TSockAddr& Address);
// True for an IPv6 address text, with or without brackets.
bool IsIPv6Literal(const std::string& Text);
// The port number of Port (decimal, or a service name of Proto). Raises.
int WSocketResolvePort(const std::string& Port, const std::string& Proto);
// The protocol number of Proto (decimal or name). Raises.
int WSocketResolveProto(const std::string& Proto);
// The text of a socket error number ("Not a WinSock error" for others).
std::string SocketErrorText(int Error);
// True for text of the form n.n.n.n (parts up to 255; blanks around allowed).
bool IsDottedIP(const std::string& Text);
// Leading blanks, then decimal digits up to the first non-digit; 0 without.
int ParseDecimal(const std::string& Text);

}  // namespace quillon
