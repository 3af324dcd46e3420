#include "sh_stat/dominiodebugserver.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "support/blockingcall.h"
#include "support/fakeviewer.h"
#include "support/recordingnotifier.h"

namespace {

using namespace velkotest;

const std::string kEndReplica =
    "<?xml version='1.0' encoding='utf-8'?><!--  Mensaje de inicio --><StatisticMsg>"
    "<FinReplica SISTEMA='S'></FinReplica></StatisticMsg>";

CBlockingCall RunDemoOn(CDominioDebugServer& server) {
    return CBlockingCall([&server] { server.RunDemo(); }, [&server] { server.CancelWait(); });
}

unsigned int DataPort(const CDominioDebugServer& server) {
    return WaitForPort([&server] { return server.GetBoundPort(); });
}

// Every value of one demonstration round agrees with the round's number and
// the time it carries: the value v is the last digit of time x round, names
// the server and the room, and an even v carries categories.
void ExpectDemoRound(const std::string& strMessage, std::int64_t nRound) {
    SCOPED_TRACE(nRound);
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(strMessage.c_str())) << strMessage;
    const pugi::xml_node message = document.child("StatisticMsg");
    const std::string strTime =
        message.child("Element").child("ValorAtributo").child_value("Tiempo");
    const std::int64_t nTime = std::stoll(strTime);
    const int v = static_cast<int>(nTime * nRound % 10);
    const bool bEven = v % 2 == 0;
    int nValues = 0;
    int nCategories = 0;
    for (const pugi::xml_node element : message.children("Element")) {
        const std::string strPrefix =
            std::string(element.attribute("ID").value()) == "servidores" ? "s" : "h";
        for (const pugi::xml_node value : element.children("ValorAtributo")) {
            ++nValues;
            EXPECT_EQ(value.attribute("ID").value(), strPrefix + std::to_string(v));
            EXPECT_EQ(value.child_value("Tiempo"), strTime);
            EXPECT_EQ(value.child_value("Valor"), std::to_string(v));
            nCategories += value.child("Categoria") ? 1 : 0;
        }
    }
    EXPECT_EQ(nValues, bEven ? 3 : 2);
    EXPECT_EQ(nCategories, bEven ? 3 : 0);
}

TEST(DominioDebugServer, DemoSendsModelAndValuesUntilStoppedFromAnotherThread) {
    CRecordingNotifier notifier;
    CDominioDebugServer server(&notifier);
    server.SetPort(0);
    CBlockingCall demo = RunDemoOn(server);
    const unsigned int nPort = DataPort(server);
    ASSERT_NE(nPort, 0u);
    // The viewer's start message serves as the client's start message.
    CFakeViewer client(nPort, CFakeViewer::FOLLOW_RUN);
    ASSERT_TRUE(client.WaitForMessages(20));
    EXPECT_TRUE(server.IsStarted());
    EXPECT_TRUE(server.IsRunning());

    server.SetStop(true);
    ASSERT_TRUE(demo.Finish(5s));
    ASSERT_TRUE(client.WaitForEnd());
    EXPECT_FALSE(server.IsRunning());
    EXPECT_FALSE(server.IsStarted());

    const std::vector<std::string> messages = client.GetMessages();
    // The model and at least nineteen rounds came before the stop, the end of the replica after it.
    ASSERT_GE(messages.size(), 21u);
    pugi::xml_document model;
    ASSERT_TRUE(model.load_string(messages.front().c_str()));
    const pugi::xml_node info = model.child("StatisticMsg");
    EXPECT_STREQ(info.child_value("ModelName"), " Sala de servidores ");
    EXPECT_EQ(info.select_nodes("Element[@ID='servidores']/Atrib").size(), 9u);
    EXPECT_EQ(info.select_nodes("Element[@ID='Habitacion']/Atrib").size(), 5u);
    // Round numbers beyond 1 overflow a 32-bit product with the clock.
    for (size_t i = 1; i + 1 < messages.size(); ++i) {
        ExpectDemoRound(messages[i], static_cast<std::int64_t>(i));
    }
    EXPECT_EQ(messages.back(), kEndReplica);
    EXPECT_TRUE(notifier.GetBoxes().empty());
}

TEST(DominioDebugServer, ValueLoopSendsTheChosenListsThenCloseEndsTheReplica) {
    CRecordingNotifier notifier;
    CDominioDebugServer server(&notifier);
    server.SetPort(0);
    bool bStarted = false;
    {
        CBlockingCall wait([&] { bStarted = server.WaitForClient(); },
                           [&] { server.CancelWait(); });
        const unsigned int nPort = DataPort(server);
        ASSERT_NE(nPort, 0u);
        CFakeViewer client(nPort, CFakeViewer::FOLLOW_RUN);
        ASSERT_TRUE(wait.Finish(5s));
        ASSERT_TRUE(bStarted);
        // The port is free once the client has come.
        EXPECT_EQ(server.GetBoundPort(), 0u);

        server.AddValue("servidores", "s1", "7", "12.5");
        server.AddCategoryValue("Habitacion", "h'2", "Llena", "13", "1");
        server.SetSendValues(true);
        server.SetSendCategories(true);
        {
            CBlockingCall loop([&] { server.ValueLoop(); }, [&] { server.CancelWait(); });
            ASSERT_TRUE(client.WaitForMessages(4));
            server.SetStop(true);
            ASSERT_TRUE(loop.Finish(5s));
        }
        EXPECT_FALSE(server.IsRunning());
        server.Close();
        ASSERT_TRUE(client.WaitForEnd());

        const std::string strHead =
            "<?xml version='1.0' encoding='utf-8'?><StatisticMsg><!-- Valor de los atributos -->";
        const std::string strCategories =
            strHead +
            "<Element ID='Habitacion'> \n <ValorAtributo ID='h&apos;2'> \n   "
            "<Categoria>Llena</Categoria> \n   <Tiempo>13</Tiempo> \n   <Valor>1</Valor> \n "
            "</ValorAtributo> \n</Element></StatisticMsg>";
        const std::string strValues =
            strHead +
            "<Element ID='servidores'> \n <ValorAtributo ID='s1'> \n  <Tiempo>12.5</Tiempo> \n  "
            "<Valor>7</Valor> \n </ValorAtributo> \n</Element></StatisticMsg>";
        const std::vector<std::string> messages = client.GetMessages();
        ASSERT_GE(messages.size(), 5u);
        ASSERT_EQ(messages.size() % 2, 1u) << "the lists go out in pairs";
        for (size_t i = 0; i + 1 < messages.size(); i += 2) {
            EXPECT_EQ(messages[i], strCategories);
            EXPECT_EQ(messages[i + 1], strValues);
        }
        EXPECT_EQ(messages.back(), kEndReplica);
    }
    EXPECT_FALSE(server.IsStarted());
    EXPECT_TRUE(notifier.GetBoxes().empty());
}

TEST(DominioDebugServer, CancelEndsEveryBlockingCallInBoundedTime) {
    CRecordingNotifier notifier;
    CDominioDebugServer server(&notifier);
    server.SetPort(0);
    server.SetControlPort(0);

    // A client that connects and never sends its start message.
    {
        CBlockingCall demo = RunDemoOn(server);
        const unsigned int nPort = DataPort(server);
        ASSERT_NE(nPort, 0u);
        CFakeViewer client(nPort, CFakeViewer::SILENT);
        ASSERT_TRUE(client.WaitForLink());
        EXPECT_FALSE(demo.FinishWithin(200ms)) << "the demo did not wait for the start message";
        EXPECT_TRUE(client.WaitForEnd());
        EXPECT_TRUE(client.GetMessages().empty());
    }

    // A client that stops reading: without a stop the value loop would go on
    // for as long as the client holds the link; the cancel ends it.
    {
        CBlockingCall wait([&] { server.WaitForClient(); }, [&] { server.CancelWait(); });
        const unsigned int nPort = DataPort(server);
        ASSERT_NE(nPort, 0u);
        CFakeViewer client(nPort, CFakeViewer::STALLED);
        ASSERT_TRUE(wait.Finish(5s));
        ASSERT_TRUE(server.IsStarted());
        server.AddValue("servidores", "s1", std::string(64 * 1024, '7'), "1");
        server.SetSendValues(true);
        CBlockingCall loop([&] { server.ValueLoop(); },
                           [&] {
                               server.SetStop(true);
                               server.CancelWait();
                           });
        std::this_thread::sleep_for(ScaledWait(300ms));  // long enough to fill the buffers
        EXPECT_TRUE(server.IsRunning());
        server.CancelWait();
        EXPECT_TRUE(loop.Finish(1s)) << "the cancel did not end the loop";
        server.Close();
    }
    EXPECT_FALSE(server.IsRunning());

    // The control port with nobody coming.
    int nOperation = 0;
    {
        CBlockingCall control([&] { nOperation = server.ReadControl(); },
                              [&] { server.CancelWait(); });
        ASSERT_NE(WaitForPort([&] { return server.GetControlBoundPort(); }), 0u);
        EXPECT_FALSE(control.FinishWithin(100ms));
    }
    EXPECT_EQ(nOperation, CTL_FAILED);
    EXPECT_TRUE(notifier.GetBoxes().empty());

    // Destroying the server ends a demo still waiting for a client, and
    // returns only once the demo has left the server.
    auto pServer = std::make_unique<CDominioDebugServer>(&notifier);
    pServer->SetPort(0);
    std::thread thread([&pServer] { pServer->RunDemo(); });
    ASSERT_NE(DataPort(*pServer), 0u);
    pServer.reset();
    thread.join();
}

// The box names the event and its user, never the password; a peer that
// stays silent past the time-out is dropped, on either port.
TEST(DominioDebugServer, ReadControlShowsTheEventAndItsUserAndReportsABadMessage) {
    CRecordingNotifier notifier;
    CDominioDebugServer server(&notifier);
    server.SetControlPort(0);
    auto readOne = [&](const std::string& strMessage) {
        int nOperation = 0;
        CBlockingCall control([&] { nOperation = server.ReadControl(); },
                              [&] { server.CancelWait(); });
        const unsigned int nPort = WaitForPort([&] { return server.GetControlBoundPort(); });
        EXPECT_NE(nPort, 0u);
        CFakeViewer client(nPort, CFakeViewer::FOLLOW_RUN, strMessage);
        EXPECT_TRUE(control.Finish(5s));
        EXPECT_TRUE(client.WaitForEnd()) << "the control link stays open";
        return nOperation;
    };

    EXPECT_EQ(readOne("<StatisticMsg><OPERACION ID='stop'><MAQUINAID ID='pc'/>"
                      "<USUARIOID ID='ana'/><PASSWORD PASS='s3cr'/></OPERACION></StatisticMsg>"),
              CTL_STOP);
    EXPECT_EQ(readOne("<StatisticMsg><OPERACION ID='Rewind'><MAQUINAID ID='pc'/>"
                      "<USUARIOID ID='bo'/><PASSWORD PASS='x'/></OPERACION></StatisticMsg>"),
              CTL_UNKNOWN);
    EXPECT_EQ(readOne("<Mensaje/>"), CTL_FAILED);

    const std::vector<CRecordingNotifier::Box> boxes = notifier.GetBoxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].strText, "Evento: STOP del usario 'ana'");
    EXPECT_EQ(boxes[0].eIcon, NI_INFORMATION);
    EXPECT_EQ(boxes[1].strText, "Evento:  del usario 'bo'");
    EXPECT_EQ(boxes[2].strText, "Error: MENSAJE ERRONEO");
    EXPECT_EQ(boxes[2].eIcon, NI_ERROR);

    // Silent: ReadControl ends by itself, with nothing shown, and lets the
    // peer go, at the time-out set and not at the default: the wait is never
    // made as long as half the default.
    server.SetFirstMessageTimeout(200);
    const auto tDropped = ScaledWait(
        5s, std::chrono::milliseconds(CDominioDebugServer::kDefaultFirstMessageTimeoutMs / 2));
    int nOperation = 0;
    CBlockingCall control([&] { nOperation = server.ReadControl(); }, [&] { server.CancelWait(); });
    const unsigned int nPort = WaitForPort([&] { return server.GetControlBoundPort(); });
    ASSERT_NE(nPort, 0u);
    CFakeViewer silent(nPort, CFakeViewer::SILENT);
    EXPECT_TRUE(control.FinishWithin(tDropped)) << "the silent peer was not dropped";
    EXPECT_EQ(nOperation, CTL_FAILED);
    EXPECT_TRUE(silent.WaitForEnd()) << "the control link stays open";
    EXPECT_EQ(notifier.GetBoxes().size(), 3u);

    // A data client as silent is let go as well: the wait ends with none.
    server.SetPort(0);
    bool bStarted = true;
    CBlockingCall wait([&] { bStarted = server.WaitForClient(); }, [&] { server.CancelWait(); });
    const unsigned int nDataPort = DataPort(server);
    ASSERT_NE(nDataPort, 0u);
    CFakeViewer silentClient(nDataPort, CFakeViewer::SILENT);
    EXPECT_TRUE(wait.FinishWithin(tDropped)) << "the silent client was not dropped";
    EXPECT_FALSE(bStarted);
    EXPECT_TRUE(silentClient.WaitForEnd()) << "the data link stays open";
}

}  // namespace
