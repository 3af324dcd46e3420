#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <thread>

#include "sh_aux/bidirecsocket.h"
#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"

namespace {

using namespace std::chrono_literals;

const std::string kReceiveError = "Error: Error al recibir mensaje";
const std::string kSendError = "Error: Error al enviar mensaje";

// Runs fn on a thread and waits for it: at most tWait in all, or, with
// fnProgress, for as long as that keeps changing, at most tWait without a
// change (a busy machine slows the work down, but does not stop it). On
// time-out the socket is cancelled so the thread can end, and false is
// returned.
bool RunBounded(const std::function<void()>& fn, std::chrono::milliseconds tWait,
                CBidirecSocket& rToCancel, const std::function<long long()>& fnProgress = {}) {
    std::promise<void> done;
    std::future<void> future = done.get_future();
    std::thread worker([&] {
        try {
            fn();
        } catch (...) {
        }
        done.set_value();
    });
    long long nLast = fnProgress ? fnProgress() : 0;
    auto tSince = std::chrono::steady_clock::now();
    bool bInTime = false;
    for (;;) {
        bInTime = future.wait_for(fnProgress ? std::chrono::milliseconds(20) : tWait) ==
                  std::future_status::ready;
        const long long nNow = fnProgress ? fnProgress() : 0;
        if (bInTime || !fnProgress) {
            break;
        }
        if (nNow != nLast) {
            nLast = nNow;
            tSince = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - tSince >= tWait) {
            break;
        }
    }
    if (!bInTime) {
        rToCancel.Cancel();
        if (future.wait_for(5s) != std::future_status::ready) {
            // Cancel did not free the thread: end here rather than hang.
            std::fprintf(stderr, "blocked call survived Cancel\n");
            std::_Exit(1);
        }
    }
    worker.join();
    return bInTime;
}

// How long one step (a connection taken, a message received) may take on a
// busy machine, where the test checks that it comes, not how soon.
constexpr auto kStep = 30s;

// The text of the CCustomException fn raises; "" when it raises none.
std::string ErrorOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const CCustomException& e) {
        return e.GetMessageText();
    }
    return "";
}

// A listening socket on an ephemeral loopback port.
struct Server {
    CBidirecSocket listener;
    unsigned int nPort = 0;
    Server() {
        EXPECT_NE(listener.CreateServer(0, "127.0.0.1"), 0);
        EXPECT_TRUE(listener.Listen());
        nPort = listener.GetBoundPort();
        EXPECT_NE(nPort, 0u);
    }
};

// A connected, attached pair over loopback.
struct Link {
    Server server;
    CBidirecSocket client;
    CBidirecSocket peer;  // the server's accepted end
    Link() {
        bool bAccepted = false;
        std::thread acceptor([&] { bAccepted = server.listener.Accept(peer); });
        EXPECT_EQ(client.ConnectClient("127.0.0.1", server.nPort), 1);
        EXPECT_TRUE(RunBounded([&] { acceptor.join(); }, kStep, server.listener));
        EXPECT_TRUE(bAccepted);
        client.AttachArchives();
        peer.AttachArchives();
    }
};

// A plain POSIX client, to put arbitrary bytes on the wire.
int RawConnect(unsigned int nPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(nPort));
    ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    return fd;
}

void RawSend(int fd, const std::string& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

// A raw peer connected to an attached server-side socket.
struct RawLink {
    Server server;
    CBidirecSocket peer;
    int fd = -1;
    RawLink() {
        std::thread acceptor([&] { EXPECT_TRUE(server.listener.Accept(peer)); });
        fd = RawConnect(server.nPort);
        EXPECT_TRUE(RunBounded([&] { acceptor.join(); }, kStep, server.listener));
        peer.AttachArchives();
    }
    ~RawLink() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

long ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long nPages = 0, nResident = 0;
    statm >> nPages >> nResident;
    return nResident * ::sysconf(_SC_PAGESIZE);
}

std::string Bytes(std::initializer_list<unsigned char> list) {
    return std::string(list.begin(), list.end());
}

// ---- Wire format, without sockets --------------------------------------------------------

TEST(SocketString, LengthFormsAndSizes) {
    struct Case {
        size_t nUnits;
        std::string header;
    };
    const Case cases[] = {
        {0, Bytes({0xFF, 0xFE, 0xFF, 0x00})},
        {254, Bytes({0xFF, 0xFE, 0xFF, 0xFE})},
        {255, Bytes({0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0x00})},
        {300, Bytes({0xFF, 0xFE, 0xFF, 0xFF, 0x2C, 0x01})},
        {65533, Bytes({0xFF, 0xFE, 0xFF, 0xFF, 0xFD, 0xFF})},
        {65534, Bytes({0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00})},
        {70000, Bytes({0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00})},
    };
    for (const Case& c : cases) {
        const std::string text(c.nUnits, 'a');
        const std::string bytes = EncodeSocketString(text);
        ASSERT_EQ(bytes.size(), c.header.size() + 2 * c.nUnits) << c.nUnits;
        EXPECT_EQ(bytes.substr(0, c.header.size()), c.header) << c.nUnits;
        if (c.nUnits > 0) {
            EXPECT_EQ(bytes.substr(c.header.size(), 2), Bytes({'a', 0x00}));
            EXPECT_EQ(bytes.substr(bytes.size() - 2), Bytes({'a', 0x00}));
        }
        std::string back = "unchanged";
        size_t nUsed = 0;
        ASSERT_TRUE(DecodeSocketString(bytes, back, &nUsed)) << c.nUnits;
        EXPECT_EQ(back, text);
        EXPECT_EQ(nUsed, bytes.size());
    }
}

TEST(SocketString, NonAsciiTravelsAsUtf16CodeUnits) {
    // Letter, accented letter, and a character outside the BMP (surrogate pair).
    const std::string text = "A\xC3\xA9\xF0\x9F\x98\x80";
    const std::string bytes = EncodeSocketString(text);
    EXPECT_EQ(bytes,
              Bytes({0xFF, 0xFE, 0xFF, 0x04, 0x41, 0x00, 0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE}));
    std::string back;
    ASSERT_TRUE(DecodeSocketString(bytes, back));
    EXPECT_EQ(back, text);
}

TEST(SocketString, UntaggedEightBitFormDecodes) {
    std::string text;
    size_t nUsed = 0;
    ASSERT_TRUE(DecodeSocketString(Bytes({0x03, 'a', 'b', 'c', 0x07}), text, &nUsed));
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(nUsed, 4u);
    // Bytes are Windows-1252 text.
    ASSERT_TRUE(DecodeSocketString(Bytes({0x03, 0xE9, 0x80, 'x'}), text));
    EXPECT_EQ(text,
              "\xC3\xA9\xE2\x82\xAC"
              "x");
    // 16-bit length form without the tag.
    const std::string long8 = Bytes({0xFF, 0x2C, 0x01}) + std::string(300, 'z');
    ASSERT_TRUE(DecodeSocketString(long8, text, &nUsed));
    EXPECT_EQ(text, std::string(300, 'z'));
    EXPECT_EQ(nUsed, long8.size());
}

TEST(SocketString, TruncatedInputFailsAndLeavesStringAlone) {
    const std::string bytes = EncodeSocketString("hello");
    for (size_t n = 0; n < bytes.size(); ++n) {
        std::string text = "keep";
        EXPECT_FALSE(DecodeSocketString(std::string_view(bytes).substr(0, n), text)) << n;
        EXPECT_EQ(text, "keep");
    }
}

TEST(SocketString, LengthCapIsExactAndOversizedPayloadNeverRequested) {
    // A reader that serves a header, then zero bytes up to the cap, counting
    // what is asked.
    auto serve = [](const std::string& header, size_t& rnAsked) {
        return [header, &rnAsked](char* p, size_t n) {
            if (rnAsked + n > header.size() + kMaxSocketMessageBytes) {
                return false;
            }
            for (size_t i = 0; i < n; ++i) {
                p[i] = rnAsked + i < header.size() ? header[rnAsked + i] : '\0';
            }
            rnAsked += n;
            return true;
        };
    };
    const uint32_t nCapUnits = kMaxSocketMessageBytes / 2;
    auto header32 = [](uint32_t n) {
        return Bytes({0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF}) +
               Bytes({static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
                      static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 24)});
    };

    size_t nAsked = 0;
    std::string text = "keep";
    EXPECT_FALSE(DecodeSocketString(serve(header32(nCapUnits + 1), nAsked), text));
    EXPECT_EQ(nAsked, 10u);
    EXPECT_EQ(text, "keep");

    nAsked = 0;
    const std::string header64 = Bytes(
        {0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0x40});
    EXPECT_FALSE(DecodeSocketString(serve(header64, nAsked), text));
    EXPECT_EQ(nAsked, header64.size());

    nAsked = 0;
    ASSERT_TRUE(DecodeSocketString(serve(header32(nCapUnits), nAsked), text));
    EXPECT_EQ(text.size(), nCapUnits);
    EXPECT_EQ(nAsked, 10u + kMaxSocketMessageBytes);
}

// A stream read without waiting, in pieces of any size, gives what the
// blocking decoder gives message by message: random messages of both forms
// and of every length form, some longer than it keeps, some whose room is
// refused; and a claim beyond any message loses the stream for good.
TEST(SocketString, AStreamTakenInPiecesGivesWhatTheDecoderGives) {
    std::mt19937 random(1104);
    constexpr size_t kKept = 300;
    enum { KEPT, TOO_LONG, REFUSED };
    struct SExpected {
        int nKind;
        std::string strText;
    };
    std::vector<SExpected> vecExpected;
    std::string strStream;
    const auto RandomText = [&](size_t nUnits) {
        std::u16string wide;
        while (wide.size() < nUnits) {
            const unsigned nPick = random() % 8;
            if (nPick == 0 && wide.size() + 2 <= nUnits) {
                const char32_t cp = 0x10000 + random() % 0x10000;
                wide += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
                wide += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            } else {
                wide += static_cast<char16_t>(nPick < 5 ? 0x20 + random() % 0x5F
                                                        : 0xA0 + random() % 0xD700);
            }
        }
        return Utf16ToUtf8(wide);
    };
    for (int i = 0; i < 3000; ++i) {
        const unsigned nPick = random() % 10;
        const size_t nUnits = nPick < 5   ? random() % 40
                              : nPick < 7 ? 250 + random() % 10
                              : nPick < 9 ? kKept - 2 + random() % 5
                                          : (random() % 20 == 0 ? 70000 : 1000);
        std::string strWire;
        if (random() % 6 == 0 && nUnits < 255) {
            // The untagged 8-bit form.
            std::string strBytes;
            for (size_t n = 0; n < nUnits; ++n) {
                strBytes += static_cast<char>(0x20 + random() % 0xDF);
            }
            strWire = std::string(1, static_cast<char>(nUnits)) + strBytes;
        } else {
            strWire = EncodeSocketString(RandomText(nUnits));
        }
        std::string strDecoded;
        size_t nUsed = 0;
        ASSERT_TRUE(DecodeSocketString(strWire, strDecoded, &nUsed));
        ASSERT_EQ(nUsed, strWire.size());
        const bool bRefused = nUnits > 0 && nUnits <= kKept && random() % 8 == 0;
        vecExpected.push_back({nUnits > kKept ? TOO_LONG : bRefused ? REFUSED : KEPT, strDecoded});
        strStream += strWire;
    }
    // 0x7FFFFFF0 units: more than any message.
    strStream += std::string("\xFF\xFE\xFF\xFF\xFF\xFF\xF0\xFF\xFF\x7F", 10) + "tail";

    CSocketStreamReader reader(kKept);
    size_t nFed = 0;
    size_t nNext = 0;
    int nInvalid = 0;
    while (nInvalid == 0) {
        if (nFed < strStream.size()) {
            const size_t nPiece = std::min<size_t>(1 + random() % 5000, strStream.size() - nFed);
            nFed += reader.Take(std::string_view(strStream).substr(nFed, nPiece));
        }
        for (bool bMore = true; bMore;) {
            std::string strMessage;
            switch (reader.Next(strMessage)) {
                case CSocketStreamReader::RS_NEED_MORE:
                    bMore = false;
                    break;
                case CSocketStreamReader::RS_ROOM:
                    ASSERT_LT(nNext, vecExpected.size());
                    EXPECT_LE(reader.PieceBytes(), 64u * 1024u);
                    reader.Admit(vecExpected[nNext].nKind != REFUSED);
                    break;
                case CSocketStreamReader::RS_MESSAGE:
                    ASSERT_LT(nNext, vecExpected.size());
                    EXPECT_EQ(vecExpected[nNext].nKind, KEPT) << nNext;
                    EXPECT_EQ(strMessage, vecExpected[nNext].strText) << nNext;
                    ++nNext;
                    break;
                case CSocketStreamReader::RS_TOO_LONG:
                    ASSERT_LT(nNext, vecExpected.size());
                    EXPECT_EQ(vecExpected[nNext++].nKind, TOO_LONG);
                    break;
                case CSocketStreamReader::RS_SKIPPED:
                    ASSERT_LT(nNext, vecExpected.size());
                    EXPECT_EQ(vecExpected[nNext++].nKind, REFUSED);
                    break;
                case CSocketStreamReader::RS_INVALID:
                    ++nInvalid;
                    bMore = false;
                    break;
            }
        }
        ASSERT_FALSE(nFed == strStream.size() && nInvalid == 0 && nNext == vecExpected.size() &&
                     !reader.IsInsideMessage())
            << "the claim beyond any message was taken for one";
    }
    EXPECT_EQ(nNext, vecExpected.size());
    std::string strMessage;
    EXPECT_EQ(reader.Next(strMessage), CSocketStreamReader::RS_INVALID) << "the stream stays lost";
}

// ---- Over loopback -------------------------------------------------------------------------

TEST(BidirecSocket, BackToBackMessagesArriveWholeAndInOrder) {
    Link link;
    const std::string messages[] = {"", "first", "caf\xC3\xA9 \xF0\x9F\x98\x80 \xC3\xB1",
                                    std::string(70000, 'x'), "last"};
    // The short ones are sent before anything is read, so they arrive merged
    // in the stream; the long one goes from a thread, as it may fill the
    // socket buffers.
    for (size_t i = 0; i < 3; ++i) {
        link.client.enviaMsj(messages[i]);
    }
    std::thread sender([&] {
        try {
            link.client.enviaMsj(messages[3]);
            link.client.enviaMsj(messages[4]);
        } catch (...) {
        }
    });
    std::vector<std::string> received;
    std::atomic<long long> nReceived{0};
    const bool bInTime = RunBounded(
        [&] {
            for (size_t i = 0; i < std::size(messages); ++i) {
                std::string m;
                link.peer.recibeMsj(m);
                received.push_back(m);
                nReceived = received.size();
            }
        },
        10s, link.peer, [&] { return nReceived.load(); });
    if (!bInTime) {
        link.client.Cancel();
    }
    sender.join();
    ASSERT_TRUE(bInTime);
    ASSERT_EQ(received.size(), std::size(messages));
    for (size_t i = 0; i < received.size(); ++i) {
        EXPECT_EQ(received[i], messages[i]) << i;
    }
    // And the other way round.
    link.peer.enviaMsj("reply \xC3\xA1");
    std::string reply;
    ASSERT_TRUE(RunBounded([&] { link.client.recibeMsj(reply); }, kStep, link.client));
    EXPECT_EQ(reply, "reply \xC3\xA1");
}

TEST(BidirecSocket, OneSenderAndOneReceiverThreadShareASocket) {
    Link link;
    constexpr int kCount = 300;
    // The peer echoes every message; the client sends on one thread and reads
    // the echoes on another, both on the same object.
    std::thread echo([&] {
        try {
            for (int i = 0; i < kCount; ++i) {
                std::string m;
                link.peer.recibeMsj(m);
                link.peer.enviaMsj(m);
            }
        } catch (...) {
        }
    });
    std::thread sender([&] {
        try {
            for (int i = 0; i < kCount; ++i) {
                link.client.enviaMsj("msg " + std::to_string(i) + std::string(i * 37, 'q'));
            }
        } catch (...) {
        }
    });
    std::atomic<int> nGood{0};
    std::atomic<int> nEchoes{0};
    const bool bInTime = RunBounded(
        [&] {
            for (int i = 0; i < kCount; ++i) {
                std::string m;
                link.client.recibeMsj(m);
                nGood += m == "msg " + std::to_string(i) + std::string(i * 37, 'q');
                ++nEchoes;
            }
        },
        10s, link.client, [&] { return nEchoes.load(); });
    link.peer.Cancel();
    link.client.Cancel();
    sender.join();
    echo.join();
    EXPECT_TRUE(bInTime);
    EXPECT_EQ(nGood, kCount);
}

TEST(BidirecSocket, NothingHappensBeforeArchivesAreAttached) {
    Server server;
    CBidirecSocket client;
    ASSERT_EQ(client.ConnectClient("127.0.0.1", server.nPort), 1);
    EXPECT_NO_THROW(client.enviaMsj("dropped"));
    std::string text = "keep";
    ASSERT_TRUE(RunBounded([&] { client.recibeMsj(text); }, 2s, client));
    EXPECT_EQ(text, "keep");
}

TEST(BidirecSocket, UntaggedMessageFromTheWireDecodes) {
    RawLink link;
    RawSend(link.fd, Bytes({0x02, 'o', 'k'}) + EncodeSocketString("next"));
    std::string first, second;
    ASSERT_TRUE(RunBounded(
        [&] {
            link.peer.recibeMsj(first);
            link.peer.recibeMsj(second);
        },
        kStep, link.peer));
    EXPECT_EQ(first, "ok");
    EXPECT_EQ(second, "next");
}

TEST(BidirecSocket, PeerClosingMidMessageFailsTheReceive) {
    RawLink link;
    const std::string whole = EncodeSocketString("0123456789");
    RawSend(link.fd, whole.substr(0, whole.size() - 5));
    ::close(link.fd);
    link.fd = -1;
    std::string text = "keep";
    std::string error;
    ASSERT_TRUE(
        RunBounded([&] { error = ErrorOf([&] { link.peer.recibeMsj(text); }); }, kStep, link.peer));
    EXPECT_EQ(error, kReceiveError);
    EXPECT_EQ(text, "keep");
}

TEST(BidirecSocket, HugeClaimedLengthFailsFastWithoutAllocating) {
    const std::string claims[] = {
        // 32-bit form: 0x7FFFFFF0 UTF-16 units, about 4 GiB.
        Bytes({0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 0xFF, 0xFF, 0x7F}),
        // 64-bit form.
        Bytes({0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0,
               0x10}),
        // Untagged 8-bit form, 32-bit length.
        Bytes({0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x40})};
    for (const std::string& claim : claims) {
        RawLink link;
        // The peer stays connected and sends a little payload: a receiver that
        // believed the claim would block here or allocate gigabytes.
        RawSend(link.fd, claim + std::string(64, 'a'));
        const long nBefore = ResidentBytes();
        std::string text = "keep";
        std::string error;
        const auto tStart = std::chrono::steady_clock::now();
        ASSERT_TRUE(RunBounded([&] { error = ErrorOf([&] { link.peer.recibeMsj(text); }); }, kStep,
                               link.peer));
        EXPECT_LT(std::chrono::steady_clock::now() - tStart, 2s);
        EXPECT_EQ(error, kReceiveError);
        EXPECT_EQ(text, "keep");
        EXPECT_LT(ResidentBytes() - nBefore, 32L * 1024 * 1024);

        // The stream position is lost: a later valid message is not read as
        // if nothing happened, the link stays failed.
        RawSend(link.fd, EncodeSocketString("after"));
        error.clear();
        ASSERT_TRUE(RunBounded([&] { error = ErrorOf([&] { link.peer.recibeMsj(text); }); }, 2s,
                               link.peer));
        EXPECT_EQ(error, kReceiveError);
        EXPECT_EQ(text, "keep");
    }
}

TEST(BidirecSocket, SendToClosedPeerThrowsInsteadOfKillingTheProcess) {
    Link link;
    link.peer.Close();
    std::string error;
    std::atomic<int> nSends{0};
    ASSERT_TRUE(RunBounded(
        [&] {
            // The first sends may still be buffered; the reset arrives soon after.
            for (; nSends < 1000 && error.empty(); ++nSends) {
                try {
                    link.client.enviaMsj(std::string(1000, 'p'));
                } catch (const CCustomException& e) {
                    error = e.GetMessageText();
                }
                std::this_thread::sleep_for(1ms);
            }
        },
        kStep, link.client, [&] { return nSends.load(); }));
    EXPECT_EQ(error, kSendError);
    // Once lost, the link fails at once.
    try {
        link.client.enviaMsj("again");
        ADD_FAILURE() << "send on a lost link succeeded";
    } catch (const CCustomException& e) {
        EXPECT_EQ(e.GetMessageText(), kSendError);
    }
}

// A peer that reads (or writes) a trickle keeps every single call going: the
// time-out must bound the whole message, or the link is never counted lost.
TEST(BidirecSocket, TimeOutsHoldForTheWholeMessage) {
    RawLink link;
    std::atomic<bool> bStop{false};
    std::thread trickle([&] {
        // Slow enough that a send limited per call only would keep going for tens of seconds.
        char buffer[1024];
        while (!bStop) {
            (void)::recv(link.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
            std::this_thread::sleep_for(20ms);
        }
    });
    // A fixed receive buffer: the system would otherwise let the link take
    // tens of megabytes, more than the message.
    const int nReceiveBuffer = 64 * 1024;
    ASSERT_EQ(::setsockopt(link.fd, SOL_SOCKET, SO_RCVBUF, &nReceiveBuffer, sizeof(nReceiveBuffer)),
              0);
    ASSERT_TRUE(link.peer.SetSendTimeout(500));
    std::string error;
    const auto tStart = std::chrono::steady_clock::now();
    const bool bInTime = RunBounded(
        [&] {
            // 6 MB on the wire, more than both buffers hold.
            error = ErrorOf([&] { link.peer.enviaMsj(std::string(3 * 1024 * 1024, 'x')); });
        },
        60s, link.peer);
    bStop = true;
    trickle.join();
    EXPECT_TRUE(bInTime) << "the send went on long past its time-out";
    EXPECT_EQ(error, kSendError);
    EXPECT_GE(std::chrono::steady_clock::now() - tStart, 450ms);

    // Receiving: a whole message within the time is read; one that trickles
    // in fails once the time is up.
    RawLink slow;
    ASSERT_TRUE(slow.peer.SetReceiveTimeout(300));
    RawSend(slow.fd, EncodeSocketString("first"));
    std::string strMessage;
    ASSERT_NO_THROW(slow.peer.recibeMsj(strMessage));
    EXPECT_EQ(strMessage, "first");
    const std::string strWire = EncodeSocketString(std::string(200, 'y'));
    error.clear();
    std::atomic<bool> bReceived{false};
    std::thread sender([&] {
        for (size_t i = 0; i < strWire.size() && !bReceived; ++i) {
            if (::send(slow.fd, strWire.data() + i, 1, MSG_NOSIGNAL) != 1) {
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
    });
    EXPECT_TRUE(RunBounded([&] { error = ErrorOf([&] { slow.peer.recibeMsj(strMessage); }); }, 3s,
                           slow.peer));
    bReceived = true;
    sender.join();
    EXPECT_EQ(error, kReceiveError);
}

TEST(BidirecSocket, CancelEndsABlockedAcceptAndReceive) {
    {
        Server server;
        CBidirecSocket connection;
        std::atomic<bool> bResult{true};
        std::thread acceptor([&] { bResult = server.listener.Accept(connection); });
        std::this_thread::sleep_for(100ms);
        const auto tCancel = std::chrono::steady_clock::now();
        server.listener.Cancel();
        ASSERT_TRUE(RunBounded([&] { acceptor.join(); }, kStep, server.listener));
        EXPECT_LT(std::chrono::steady_clock::now() - tCancel, 1s);
        EXPECT_FALSE(bResult);
        EXPECT_FALSE(connection.IsOpen());
        // A cancel that comes before the wait is not lost.
        EXPECT_FALSE(server.listener.Accept(connection));
    }
    {
        Link link;
        std::string text = "keep";
        std::string error;
        std::thread receiver([&] { error = ErrorOf([&] { link.peer.recibeMsj(text); }); });
        std::this_thread::sleep_for(100ms);
        link.peer.Cancel();
        ASSERT_TRUE(RunBounded([&] { receiver.join(); }, kStep, link.peer));
        EXPECT_EQ(error, kReceiveError);
        EXPECT_EQ(text, "keep");
    }
}

TEST(BidirecSocket, ServerPortCanBeBoundAgainRightAfterAConnection) {
    unsigned int nPort = 0;
    {
        Link link;
        nPort = link.server.nPort;
        link.client.enviaMsj("hi");
        std::string text;
        ASSERT_TRUE(RunBounded([&] { link.peer.recibeMsj(text); }, kStep, link.peer));
        // The server side closes first, so its end of the connection lingers.
        link.peer.Close();
        link.server.listener.Close();
    }
    CBidirecSocket again;
    ASSERT_NE(again.CreateServer(nPort, "127.0.0.1"), 0);
    ASSERT_TRUE(again.Listen());
    CBidirecSocket client, peer;
    std::thread acceptor([&] { again.Accept(peer); });
    EXPECT_EQ(client.ConnectClient("127.0.0.1", nPort), 1);
    ASSERT_TRUE(RunBounded([&] { acceptor.join(); }, kStep, again));
    EXPECT_TRUE(peer.IsOpen());
}

TEST(BidirecSocket, ConnectFailuresReturnZero) {
    // A bound port with no listener refuses at once.
    CBidirecSocket bound;
    ASSERT_NE(bound.CreateServer(0, "127.0.0.1"), 0);
    const unsigned int nPort = bound.GetBoundPort();
    CBidirecSocket client;
    const auto tStart = std::chrono::steady_clock::now();
    EXPECT_EQ(client.ConnectClient("127.0.0.1", nPort), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - tStart, 2s);
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(client.ConnectClient("127.0.0.1", 70000), 0);
    // The same object can try again once something listens.
    ASSERT_TRUE(bound.Listen());
    EXPECT_EQ(client.ConnectClient("127.0.0.1", nPort), 1);
}

}  // namespace
