#pragma once
// Shared pieces of the transport tests.

#include "core/Exceptions.h"
#include "net/IdComponent.h"
#include "net/IdTCPClient.h"
#include "support/ScriptedPeer.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

// Holds the stack object for tests that call it without a component of their own.
class TStackHolder : public TIdComponent {};

inline std::unique_ptr<TIdTCPClient> ConnectedClient(const TScriptedPeer& peer) {
    auto client = std::make_unique<TIdTCPClient>();
    client->Host = "127.0.0.1";
    client->Port = peer.Port();
    client->Connect();
    return client;
}

// Runs body and answers the class and message of what it raised ("" when nothing).
template <typename F> std::string Raised(F&& body) {
    try {
        body();
    } catch (const Exception& e) {
        return std::string(e.ClassName()) + ": " + e.Message();
    }
    return "";
}
