// The client against real servers: every body must be byte for byte what
// curl fetches from the same server.

#include "http/IdHTTP.h"
#include "support/RealServers.h"

#include <gtest/gtest.h>

#include <random>

namespace {

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto& b : bytes)
        b = static_cast<char>(random() & 0xFF);
    return bytes;
}

const std::vector<size_t> Sizes = {0, 1, 32767, 32768, 32769, 3 * 1024 * 1024 + 7};

template <typename TServer> void CompareWithCurl() {
    TServer server;
    TTempFolder scratch;
    for (size_t size : Sizes)
        server.Root().WriteFile("f" + std::to_string(size), RandomBytes(size, static_cast<unsigned>(size)));

    TIdHTTP reused;
    for (size_t size : Sizes) {
        const std::string url = server.Url("f" + std::to_string(size));
        SCOPED_TRACE(url);
        const std::string expected = CurlFetch(url, scratch);
        ASSERT_EQ(expected.size(), size);

        TIdHTTP fresh;
        TMemoryStream body;
        fresh.FetchToStream(url, body);
        EXPECT_TRUE(body.DataString() == expected);

        TMemoryStream again;
        reused.FetchToStream(url, again);
        EXPECT_TRUE(again.DataString() == expected);
    }
    TIdHTTP client;
    try {
        client.FetchText(server.Url("missing"));
        FAIL();
    } catch (const EIdHTTPProtocolException& e) {
        EXPECT_EQ(e.ReplyCode, 404);
    }
}

} // namespace

TEST(IdHTTPServers, PythonHttpServerBodiesMatchCurl) {
    CompareWithCurl<TPythonServer>();
}

TEST(IdHTTPServers, NginxBodiesMatchCurl) {
    CompareWithCurl<TNginxServer>();
}

TEST(IdHTTPServers, FileStreamReceivesTheBodyAtItsPosition) {
    TNginxServer server;
    const std::string bytes = RandomBytes(100000, 7);
    server.Root().WriteFile("b", bytes);
    TTempFolder scratch;
    {
        TFileStream file(scratch.Path() + "/out", TFileMode::fmCreate);
        file.WriteText("head");
        TIdHTTP client;
        client.FetchToStream(server.Url("b"), file);
        EXPECT_EQ(file.Size(), static_cast<int64_t>(4 + bytes.size()));
    }
    EXPECT_TRUE(scratch.ReadFile("out") == "head" + bytes);
}
