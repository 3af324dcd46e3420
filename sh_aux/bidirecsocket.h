#pragma once

// The message channel of every TCP link: a blocking stream socket that carries
// whole messages. One message is one string, framed on the wire as a tagged
// UTF-16 string (FF FE FF, a 1/3/7/15-byte length in UTF-16 code units, then
// the code units little-endian). Callers work in UTF-8; the conversion happens
// here, at the wire.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// Largest payload a received message may claim, in bytes. A longer claim is
// treated as a broken link rather than allocated.
inline constexpr size_t kMaxSocketMessageBytes = 64u * 1024u * 1024u;
// How long a connect waits by default.
inline constexpr int kSocketConnectTimeoutMs = 20000;

// The wire bytes of one message holding strText (UTF-8).
std::string EncodeSocketString(std::string_view strText);

// What CBidirecSocket::ReceiveMessage found.
enum SocketReceiveResult {
    SR_MESSAGE,   // one whole message, stored
    SR_TOO_LONG,  // a message longer than the caller takes: read past, not kept
    SR_SKIPPED,   // a message the caller's admission refused: read past, not kept
    SR_CLOSED,    // the peer closed the link between two messages
    SR_CUT,       // the peer closed the link in order inside a message
    SR_FAILED,    // the link failed, was cancelled, or carried what no message is
};

// What CBidirecSocket::SendMessage did.
enum SocketSendResult {
    SS_SENT,     // the whole message was handed to the system
    SS_STOPPED,  // StopWaiting or Cancel cut it short: part of it may have gone
    SS_FAILED,   // the link failed (it counts as lost), or the message is too long
};

// What CBidirecSocket::CheckPeer found.
enum SocketPeerState {
    SP_OPEN,    // nothing says the link has ended
    SP_CLOSED,  // the peer closed it in order (or it was never open)
    SP_RESET,   // the peer reset it: what it had not read yet is lost
};

// What a call that never waits found (CBidirecSocket::ReceiveAvailable).
enum SocketIoResult {
    IO_DONE,    // bytes were taken
    IO_NONE,    // nothing waits now
    IO_CLOSED,  // the peer ended its sending in order: nothing more comes
    IO_RESET,   // the link failed (reset by the peer, or shut down here)
};

// Asked before each piece of a message's payload is read, the first time
// once its length (in characters) is known: nLength that length, nPiece the
// bytes of the piece about to be read, so that room follows what arrives
// rather than what a peer claims. True to read the piece and keep the
// message, false to read past the rest of it. It may wait, for room to keep
// it; that wait does not count against the message's time limit.
using SocketAdmission = std::function<bool(uint64_t nLength, size_t nPiece)>;

// Reads exactly nBytes into pBuffer; false when the source ends or fails.
using SocketByteReader = std::function<bool(char* pBuffer, size_t nBytes)>;

// Reads one message from the source into strOut (UTF-8). Accepts the tagged
// UTF-16 form and the untagged 8-bit form (Windows-1252 text). False when the
// source ends early or the claimed payload exceeds kMaxSocketMessageBytes; the
// payload of an oversized claim is never requested. strOut is changed only on
// success.
bool DecodeSocketString(const SocketByteReader& fnRead, std::string& strOut);
// The same over a byte buffer; *pnConsumed receives the message's size.
bool DecodeSocketString(std::string_view bytes, std::string& strOut, size_t* pnConsumed = nullptr);

// The dotted IPv4 addresses of strHost (a dotted address or a host name);
// empty when it has none.
std::vector<std::string> ResolveIPv4(const std::string& strHost);

// Lifecycle: construct (no OS socket yet); ConnectClient, or CreateServer +
// Listen + Accept into a second object; AttachArchives on the connected
// object; then enviaMsj / recibeMsj; Close or destroy.
//
// Threads: one sending and one receiving thread may use one object at the
// same time; Cancel may be called from any thread. Close and destruction
// belong to the owner once no other thread uses the object.
class CBidirecSocket {
public:
    CBidirecSocket();
    virtual ~CBidirecSocket();
    CBidirecSocket(const CBidirecSocket&) = delete;
    CBidirecSocket& operator=(const CBidirecSocket&) = delete;

    // The platform needs no socket start-up; kept so that callers read the
    // same on every platform. Always true.
    static bool InitSockets();

    // Connects to strHost (dotted address or host name) : nPort, waiting at
    // most nTimeoutMs. 1 when connected, 0 otherwise (refused, timed out,
    // unknown host, cancelled, already open), with the reason's error number
    // in *pnError (ETIMEDOUT, ECONNREFUSED, ECANCELED...). Throws
    // CCustomException when no socket can be created.
    int ConnectClient(const std::string& strHost, unsigned int nPort,
                      int nTimeoutMs = kSocketConnectTimeoutMs, int* pnError = nullptr);
    // Binds a stream socket to nPort (0: any free port, see GetBoundPort) on
    // strAddress (empty: every local address). Nonzero on success.
    int CreateServer(unsigned int nPort, const std::string& strAddress = std::string());
    bool Listen(int nBacklog = 5);
    // Blocks until a peer connects and hands that connection to rConnection
    // (which must not be open). False when cancelled or on failure, with the
    // system's error number in *pnError (0 when cancelled).
    bool Accept(CBidirecSocket& rConnection, int* pnError = nullptr);
    // The dotted address of the peer of a connected socket; empty when none.
    std::string GetPeerAddress() const;
    // The local port the socket is bound to; 0 when it has none.
    unsigned int GetBoundPort() const;

    // Enables sending and receiving; before it both are silent no-ops.
    void AttachArchives();
    // Sends one message; returns once all of it was handed to the system.
    // Throws CCustomException "Error al enviar mensaje" on failure, after
    // which the link counts as lost.
    void enviaMsj(std::string strMessage);
    // The same without exceptions. After SS_STOPPED the link is left as it
    // is: what went out whole still reaches the peer, the part of the message
    // not yet handed over waits for FlushUnsent (HasUnsent), and the link can
    // be half-closed after it; after SS_FAILED it counts as lost.
    SocketSendResult SendMessage(std::string_view strMessage);
    // The bytes handed to the system so far, and those of them the peer's
    // system has not yet acknowledged (-1 when unknown).
    unsigned long long GetBytesSent() const { return m_nBytesSent.load(); }
    long long GetUnacknowledgedBytes() const;
    // Blocks until one whole message has arrived and stores it. Throws
    // CCustomException "Error al recibir mensaje" when the peer closes, the
    // link fails or the message is malformed; strMessage is then unchanged and
    // the link counts as lost.
    void recibeMsj(std::string& strMessage);
    // The same without exceptions, for a link that takes messages of at most
    // nMaxLength characters (UTF-16 code units, or bytes of the 8-bit form):
    // a longer one is read past without being held, and the link goes on.
    // strMessage is set only with SR_MESSAGE; *pnLength receives the length
    // the message claimed. After SR_CLOSED, SR_CUT or SR_FAILED the link
    // counts as lost; a failure shuts it down, while the peer's orderly end
    // or a receive that ran out of time (its time-out, or the end HalfClose
    // or EndReceivingWithin set) leaves TrySendMessage working. SR_FAILED
    // also before AttachArchives.
    // fnAdmit, when given, is
    // asked about each non-empty message that is not too long.
    SocketReceiveResult ReceiveMessage(std::string& strMessage, size_t nMaxLength,
                                       size_t* pnLength = nullptr,
                                       const SocketAdmission& fnAdmit = {});
    // Whether bytes received beyond the last message wait to be read: when
    // not, the next receive may wait for the peer.
    bool HasBufferedInput();
    // Ends sending: later enviaMsj calls do nothing. Receiving goes on.
    void CloseOutput();
    // Ends sending in order, from any thread: the peer reads all that was
    // sent, then the end of the stream. Receiving goes on; with nDrainMs
    // above 0, a message that has not arrived whole within nDrainMs of this
    // call (or of the call that waits for it, if later) ends the link:
    // SR_CLOSED when none of it had come, SR_FAILED otherwise.
    void HalfClose(int nDrainMs);
    // Ends receiving, without ending sending, nMilliseconds from now: a
    // receive then ends as it would at a half-close's limit (SR_CLOSED
    // between two messages, SR_CUT inside one), however much keeps coming.
    void EndReceivingWithin(int nMilliseconds);
    // Ends the link at once (a reset): what the system still held for the
    // peer is dropped. The object can then connect or serve again.
    void Abort();

    // For a link on which the peer sends little back: takes, without
    // waiting, what the peer has sent, at most nMaxBytes of it (each whole
    // message to fnMessage in order; a message begun stays for the next
    // call), and tells whether the peer has ended the link. *pbMore is set
    // when the bound stopped it. Not for a link read with recibeMsj.
    SocketPeerState CheckPeer(const std::function<void(std::string&)>& fnMessage = {},
                              size_t nMaxBytes = 64 * 1024, bool* pbMore = nullptr);
    // For a thread that serves many sockets (CSocketPoller): receives what
    // has arrived, at most nCapacity bytes, without waiting. Not for a link
    // read with recibeMsj, ReceiveMessage or CheckPeer.
    SocketIoResult ReceiveAvailable(char* pBuffer, size_t nCapacity, size_t& rnGot);
    // Takes a connection waiting on a listening socket, without waiting:
    // false with *pnError EAGAIN when none waits (else as Accept).
    bool AcceptWaiting(CBidirecSocket& rConnection, int* pnError = nullptr);
    // Sends one message without waiting: false, with nothing sent, when the
    // peer is not reading. A message the system takes only in part is
    // finished by a later call before anything else (which is then dropped
    // while it cannot be finished). For small messages that may be lost,
    // such as counts that each repeat the one before.
    bool TrySendMessage(const std::string& strMessage);
    // Hands over, without waiting, what TrySendMessage or a stopped
    // SendMessage left unsent: true once nothing is left; false also when the
    // link failed (IsLost).
    bool FlushUnsent();
    size_t GetUnsentBytes();
    // A send or receive found the link broken (reset, or shut down here).
    bool IsLost() const { return m_bLinkLost.load(); }
    // Called on the sending thread when a send finds the peer not reading
    // and begins to wait (true), and when that message is out or the send
    // failed (false). Set before the socket is used.
    void SetSendWaitNotice(std::function<void(bool bWaiting)> fnNotice) {
        m_fnSendWaitNotice = std::move(fnNotice);
    }

    // Plain byte streams, for a connected link that carries no messages (an
    // HTTP exchange); never mixed with enviaMsj / recibeMsj on one link.
    // SendBytes hands all nBytes to the system; false on failure.
    bool SendBytes(const char* pData, size_t nBytes);
    // Waits until tDeadline at most for data and receives up to nCapacity
    // bytes: their count, 0 once the peer has closed, -1 on failure, time-out
    // or cancel.
    long ReceiveBytes(char* pBuffer, size_t nCapacity,
                      std::chrono::steady_clock::time_point tDeadline);

    // A message that cannot be sent whole within nMilliseconds (the peer
    // stopped reading) fails as a lost link; 0 waits for ever. The time
    // holds for the whole message, however many pieces it is sent in. For an
    // open socket.
    bool SetSendTimeout(int nMilliseconds);
    // The same for receiving: a message that has not arrived whole within
    // nMilliseconds of the call to recibeMsj fails as a lost link.
    bool SetReceiveTimeout(int nMilliseconds);
    // A message whose first byte has come must arrive whole within
    // nMilliseconds (0: no limit), the admission's waits aside; else the
    // receive fails (SR_FAILED, MessageTimedOut true) and the link is lost.
    // Between two messages a receive waits as long as it takes.
    void SetMessageTimeout(int nMilliseconds) { m_nMessageTimeoutMs.store(nMilliseconds); }
    bool MessageTimedOut() const { return m_bMessageTimedOut.load(); }
    // Small messages go out at once rather than gathered with the next.
    bool SetNoDelay();
    // For a link whose peer sends bursts and to which nothing is written
    // back: the system acknowledges what comes a little later, a batch at
    // a time, rather than each piece at once (which makes the peer's system
    // send each small message alone). It keeps to it while data comes, and
    // acknowledges at once again once the link is quiet.
    bool DelayAcknowledgements();
    // Makes a blocked Accept, recibeMsj, enviaMsj or ConnectClient fail
    // promptly, and every later one until Close. Safe from any thread: the
    // socket is shut down, never closed, here.
    void Cancel();
    // Makes a connect, send or receive that waits give up within a tenth of
    // a second, and every later one until Close, without ending the link:
    // what was sent whole still reaches the peer, and the link can still be
    // half-closed. Not for Accept. Safe from any thread.
    void StopWaiting() { m_bCancelled.store(true); }
    // A Cancel came and no Close since.
    bool IsCancelled() const { return m_bCancelled.load(); }
    // Releases the OS socket and forgets the time-outs; the object can then
    // connect or serve again.
    void Close();
    bool IsOpen() const { return m_nHandle.load() >= 0; }

private:
    friend class CSocketPoller;
    bool Adopt(int nHandle);
    void CloseHandle();
    bool ConnectWithin(int nHandle, const void* pAddress, unsigned int nAddressLength,
                       int nTimeoutMs, int& rnError);
    using Deadline = std::chrono::steady_clock::time_point;
    // Waits until the socket is ready for nEvents (POLLIN or POLLOUT): false
    // once the deadline has passed, on failure or on cancel. fnDeadline is
    // asked again at each look, so that another thread may bring it forward.
    template <class FnDeadline>
    bool WaitReadyUntil(int nHandle, short nEvents, const FnDeadline& fnDeadline);
    bool WaitReady(int nHandle, short nEvents, Deadline deadline);
    // The end of the wait for the message being received (under
    // m_mutexReceive): its time-out, brought forward by a half-close.
    Deadline ReceiveDeadline() const;
    bool SendAll(const char* pData, size_t nBytes, size_t* pnSent = nullptr);
    bool ReadBytes(char* pBuffer, size_t nBytes);
    // *pbClosed tells, on failure, whether the peer ended the stream.
    bool ReceiveSome(char* pBuffer, size_t nCapacity, size_t& rnReceived, bool* pbClosed = nullptr);
    void MarkLinkLost();

    // Serialises changes of the handle against Cancel and Close, so that a
    // shutdown never reaches a descriptor that was closed and reused.
    std::mutex m_mutexHandle;
    std::mutex m_mutexSend;
    std::mutex m_mutexReceive;
    std::atomic<int> m_nHandle{-1};
    std::atomic<bool> m_bCancelled{false};
    std::atomic<bool> m_bLinkLost{false};
    std::atomic<bool> m_bInputAttached{false};
    std::atomic<bool> m_bOutputAttached{false};
    std::atomic<unsigned long long> m_nBytesSent{0};
    // Time-outs of a whole message in milliseconds (0: none), and the start
    // and end of the message being received (under m_mutexReceive).
    std::atomic<int> m_nSendTimeoutMs{0};
    std::atomic<int> m_nReceiveTimeoutMs{0};
    std::atomic<int> m_nMessageTimeoutMs{0};
    std::atomic<bool> m_bMessageTimedOut{false};
    Deadline m_tReceiveStart{};
    Deadline m_tReceiveDeadline{};
    // The end of the wait for the rest of a message begun (under
    // m_mutexReceive; max while none has begun or without a limit).
    Deadline m_tMessageDeadline = Deadline::max();
    // After HalfClose: how long a message may take (0: no limit), counted
    // from m_nDrainFrom (steady-clock ticks) at the earliest.
    std::atomic<int> m_nDrainMs{0};
    std::atomic<Deadline::rep> m_nDrainFrom{0};
    // After EndReceivingWithin: when receiving ends.
    std::atomic<Deadline::rep> m_nReceiveEnd{Deadline::max().time_since_epoch().count()};
    // The part of a message TrySendMessage could not hand over (under
    // m_mutexSend).
    std::string m_strUnsent;
    std::function<void(bool)> m_fnSendWaitNotice;
    // Bytes received beyond the message being read stay here for the next one.
    std::vector<char> m_vecReadBuffer;
    // The message being read ended with the stream (under m_mutexReceive).
    bool m_bEndedInside = false;
    size_t m_nReadPos = 0;
    size_t m_nReadEnd = 0;
};

// A wake-up that one thread gives another's CSocketPoller::Wait, from any
// thread, at any time: a wait that has begun returns at once, and one that
// begins later too until the wake-up is taken.
class CSocketWake {
public:
    CSocketWake();
    ~CSocketWake();
    CSocketWake(const CSocketWake&) = delete;
    CSocketWake& operator=(const CSocketWake&) = delete;
    void Wake();

private:
    friend class CSocketPoller;
    void Take();
    int m_nHandle = -1;
};

// Waits, on one thread, until any of a set of sockets is ready or a wake-up
// comes. The set is made anew before each wait.
class CSocketPoller {
public:
    void Clear() { m_vecItems.clear(); }
    // Adds rSocket, to be read and / or written; returns its place. A socket
    // that is not open is never ready.
    size_t Add(const CBidirecSocket& rSocket, bool bRead, bool bWrite);
    // Waits at most nTimeoutMs (-1: until something is ready) for the sockets
    // added or for rWake (which it then takes).
    void Wait(int nTimeoutMs, CSocketWake& rWake);
    // After Wait: a socket that is ready to be read, or written (an error or
    // the peer's end makes it both: the next call says which).
    bool IsReadable(size_t nPlace) const;
    bool IsWritable(size_t nPlace) const;
    size_t Size() const { return m_vecItems.size(); }

private:
    struct SItem {
        int nHandle;
        short nEvents;
        short nReady;
    };
    std::vector<SItem> m_vecItems;
};

// Takes the messages of a stream as its bytes arrive, without waiting: the
// receiving half of a link served by a thread that polls many. Memory follows
// what arrives: the bytes read ahead stay within one buffer, and each piece
// of a message's payload (at most 64 KiB) is asked for (RS_ROOM) before it
// is kept.
class CSocketStreamReader {
public:
    // Messages longer than nMaxLength characters are read past (RS_TOO_LONG).
    explicit CSocketStreamReader(size_t nMaxLength);

    // Reads what the socket has, as far as the buffer takes it: *pnGot
    // bytes; *pbAll is set when the read took less than there was room for
    // (the socket then had no more).
    SocketIoResult ReadFrom(CBidirecSocket& rSocket, size_t* pnGot = nullptr,
                            bool* pbAll = nullptr);
    // Takes bytes that came some other way, as far as the buffer takes
    // them: how many it took.
    size_t Take(std::string_view bytes);
    // Whether the buffer has room to read into (else Next must take first).
    bool CanRead() const;

    enum Step {
        RS_NEED_MORE,  // nothing whole yet: read more
        RS_MESSAGE,    // a message, stored
        RS_TOO_LONG,   // a message longer than nMaxLength, read past
        RS_SKIPPED,    // a message whose room was refused, read past
        RS_ROOM,       // room for the next piece is asked for: Admit, then Next
        RS_INVALID,    // a length beyond kMaxSocketMessageBytes: the stream is lost
    };
    // The next step of the bytes held. After RS_ROOM, Next asks again until
    // Admit answers.
    Step Next(std::string& strMessage);
    // After RS_ROOM: the message's claimed length in characters, the bytes
    // of the piece asked for, and whether it is the message's first.
    uint64_t ClaimedLength() const { return m_nLength; }
    size_t PieceBytes() const;
    bool IsFirstPiece() const { return m_nKept == 0; }
    // Keeps the piece, or reads past the rest of the message.
    void Admit(bool bKeep);
    // Bytes of a message that has begun are held (or are being read past).
    bool IsInsideMessage() const { return m_ePhase != PH_HEADER || m_nStart < m_nEnd; }

private:
    enum Phase { PH_HEADER, PH_PAYLOAD, PH_SKIP };
    // Room at the buffer's end for what comes next (none: Next first).
    size_t MakeSpace();
    void Filled(size_t nBytes);
    size_t m_nMaxLength;
    std::vector<char> m_vecBuffer;
    size_t m_nStart = 0;
    size_t m_nEnd = 0;
    Phase m_ePhase = PH_HEADER;
    uint64_t m_nLength = 0;
    size_t m_nCharSize = 2;
    size_t m_nTotal = 0;     // payload bytes
    size_t m_nKept = 0;      // of them taken into m_strPayload
    size_t m_nAdmitted = 0;  // of them that may be taken
    bool m_bAsked = false;   // RS_ROOM given, Admit not yet called
    size_t m_nSkipLeft = 0;
    Step m_eSkipResult = RS_SKIPPED;
    std::string m_strPayload;
    // The units of the last message, kept: a message costs no allocation
    // but its text's.
    std::u16string m_strUnits;
};
