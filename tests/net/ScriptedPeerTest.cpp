// The scripted peer itself: a script that went wrong fails the test that used
// it, unless the test asked for its failures.

#include "NetTestUtil.h"

#include <gtest/gtest-spi.h>

namespace {

// Connects, writes what, and lets go of the peer without asking about its script.
void PlayAndLeave(std::vector<TPeerScript> scripts, const std::string& what, bool openGate = false) {
    TScriptedPeer peer(std::move(scripts), 2000);
    auto client = ConnectedClient(peer);
    if (!what.empty()) client->WriteText(what);
    if (openGate) peer.Open();
    client->Disconnect();
}

} // namespace

TEST(ScriptedPeer, UnreadFailuresFailTheTest) {
    EXPECT_NONFATAL_FAILURE((PlayAndLeave({{TPeerStep::Expect("GET")}}, "PUT")),
                            "connection 0: expected \"GET\", got \"PUT\"");
    EXPECT_NONFATAL_FAILURE((PlayAndLeave({{TPeerStep::ReadUntil("\r\n")}}, "half a line")),
                            "\"\\r\\n\" never arrived; got \"half a line\"");
    EXPECT_NONFATAL_FAILURE((PlayAndLeave({{TPeerStep::ReadBytes(5), TPeerStep::Gate()}}, "12345")),
                            "step 1 (Gate) did not finish");
    EXPECT_NONFATAL_FAILURE((PlayAndLeave({{TPeerStep::ReadToClose()}, {TPeerStep::Close()}}, "")),
                            "connection 1: no connection arrived");
}

TEST(ScriptedPeer, ScriptsPlayedThroughFailNothing) {
    PlayAndLeave({{TPeerStep::Expect("GET"), TPeerStep::Gate(), TPeerStep::ReadToClose()}}, "GET", true);
    PlayAndLeave({{TPeerStep::Send("hello\n"), TPeerStep::ReadToClose()}}, "");
}

TEST(ScriptedPeer, AskedFailuresAreTheTestsToJudge) {
    TScriptedPeer peer({TPeerStep::Expect("GET")}, 2000);
    ConnectedClient(peer)->WriteText("PUT");
    peer.Stop();
    EXPECT_EQ(peer.Failures(), std::vector<std::string>{"connection 0: expected \"GET\", got \"PUT\""});
}
