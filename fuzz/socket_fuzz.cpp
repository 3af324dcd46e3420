// Socket framing: the input is the byte stream of a link. It is read
// message by message from memory, and by a socket that receives it over TCP
// from a peer on loopback. Both must read the same messages and stop at the
// same place; a failed read leaves its output as it was; and every message
// read comes back unchanged when it is sent again.

#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fuzzinput.h"
#include "sh_aux/bidirecsocket.h"
#include "sh_aux/customexception.h"

namespace {

const std::string kUntouched = "\x01untouched";
// Bytes that a loopback link takes before anyone reads them.
constexpr size_t kBufferedBytes = 32 * 1024;

std::vector<std::string> DecodeAll(std::string_view bytes) {
    std::vector<std::string> vecMessages;
    for (;;) {
        std::string strMessage = kUntouched;
        size_t nConsumed = 0;
        if (!DecodeSocketString(bytes, strMessage, &nConsumed)) {
            velkofuzz::Check(strMessage == kUntouched, "a failed decode leaves its output");
            return vecMessages;
        }
        velkofuzz::Check(nConsumed > 0 && nConsumed <= bytes.size(), "a message takes bytes");
        vecMessages.push_back(strMessage);
        bytes.remove_prefix(nConsumed);
    }
}

std::vector<std::string> ReceiveAll(std::string_view bytes) {
    static CBidirecSocket listener;
    static const unsigned int nPort = [] {
        velkofuzz::Check(listener.CreateServer(0, "127.0.0.1") != 0 && listener.Listen(),
                         "loopback listener");
        return listener.GetBoundPort();
    }();

    CBidirecSocket peer;
    velkofuzz::Check(peer.ConnectClient("127.0.0.1", nPort, 5000) == 1, "peer connects");
    CBidirecSocket link;
    velkofuzz::Check(listener.Accept(link), "link accepted");
    auto send = [&] {
        peer.SendBytes(bytes.data(), bytes.size());
        peer.Close();
    };
    // What the loopback link buffers is sent at once; only a longer stream
    // needs a thread of its own (threads are slow to start under the
    // sanitizers).
    std::thread sender;
    if (bytes.size() <= kBufferedBytes) {
        send();
    } else {
        sender = std::thread(send);
    }

    link.AttachArchives();
    std::vector<std::string> vecMessages;
    for (;;) {
        std::string strMessage = kUntouched;
        try {
            link.recibeMsj(strMessage);
        } catch (const CCustomException&) {
            velkofuzz::Check(strMessage == kUntouched, "a failed receive leaves its output");
            break;
        }
        vecMessages.push_back(strMessage);
    }
    // A sender still blocked on a full link is released by the close.
    link.Close();
    if (sender.joinable()) {
        sender.join();
    }
    return vecMessages;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string_view bytes(reinterpret_cast<const char*>(pData), nSize);
    const std::vector<std::string> vecDecoded = DecodeAll(bytes);
    velkofuzz::Check(ReceiveAll(bytes) == vecDecoded, "socket and decoder read the same");

    for (const std::string& strMessage : vecDecoded) {
        const std::string strWire = EncodeSocketString(strMessage);
        std::string strAgain;
        size_t nConsumed = 0;
        velkofuzz::Check(DecodeSocketString(strWire, strAgain, &nConsumed) &&
                             strAgain == strMessage && nConsumed == strWire.size(),
                         "a message read comes back when sent again");
    }
    return 0;
}
