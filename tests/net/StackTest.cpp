#include "NetTestUtil.h"
#include "net/IdException.h"
#include "net/IdStack.h"
#include "net/IdResolver.h"
#include "net/IdSocketHandle.h"
#include "net/IdStackPosix.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <tuple>

TEST(Stack, DottedQuadCutsAtTheFirstThreeDots) {
    const std::pair<const char*, bool> cases[] = {
        {"10.0.0.1", true},   {"127.0.0.1", true}, {"010.0.0.1", true},   {"255.255.255.255", true},
        {"0.0.0.0", true},    {"10.0.0", false},   {"10.0.0.256", false}, {"10.0.0.1.5", false},
        {"", false},          {"1..2.3", false},   {"a.b.c.d", false},    {"1.2.3.-4", false},
        {" 1.2.3.4", false},  {"1.2.3.4 ", false}, {"0x1.2.3.4", false},  {"99999999999.1.1.1", false},
        {"localhost", false}, {"1.2.3.", false},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(TIdStack::IsDottedQuad(text), expected) << text;
}

TEST(Stack, AddressTextRoundTrip) {
    EXPECT_EQ(TIdStack::AddressToText({127, 0, 0, 1}), "127.0.0.1");
    EXPECT_EQ(TIdStack::AddressToText({255, 0, 10, 200}), "255.0.10.200");
    EXPECT_EQ(TIdStack::TextToAddress("010.0.0.1"), (TIdInAddr{10, 0, 0, 1}));
    // Each part is cut to 8 bits.
    EXPECT_EQ(TIdStack::TextToAddress("256.1.2.3"), (TIdInAddr{0, 1, 2, 3}));
    EXPECT_THROW(TIdStack::TextToAddress("1.x.2.3"), EConvertError);
}

TEST(Stack, ResolveShortCutsWithoutLookup) {
    TStackHolder holder;
    for (const char* name : {"localhost", "LOCALHOST", "LocalHost"})
        EXPECT_EQ(GStack().ResolveToAddress(name), "127.0.0.1") << name;
    EXPECT_EQ(GStack().ResolveToAddress("010.0.0.1"), "010.0.0.1");
    EXPECT_EQ(GStack().ResolveToAddress("127.0.0.1"), "127.0.0.1");
    // Not a dotted quad, so it goes to the resolver, which reads it the inet_aton way.
    EXPECT_EQ(GStack().ResolveToAddress("1.2.3"), "1.2.0.3");
}

TEST(Stack, NameWithEmbeddedNulIsNotFound) {
    TStackHolder holder;
    try {
        GStack().ResolveToAddress(std::string("127.0.0.1\0evil", 14));
        FAIL() << "no exception";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorNumber, 11001);
        EXPECT_EQ(e.Message(), "Socket Error # 11001\r\nHost not found.");
    }
}

TEST(Stack, ErrnoMapsByName) {
    const std::pair<int, int> cases[] = {
        {ECONNREFUSED, 10061}, {ECONNRESET, 10054},    {ETIMEDOUT, 10060},    {EPIPE, 10054},
        {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049}, {ENETUNREACH, 10051},  {EHOSTUNREACH, 10065},
        {ECONNABORTED, 10053}, {ESHUTDOWN, 10058},     {ENOTCONN, 10057},     {EISCONN, 10056},
        {EINPROGRESS, 10036},  {EALREADY, 10037},      {EWOULDBLOCK, 10035},  {ENOTSOCK, 10038},
        {EBADF, 10009},        {EINTR, 10004},         {EACCES, 10013},       {EINVAL, 10022},
        {EMFILE, 10024},       {ENOBUFS, 10055},       {EAFNOSUPPORT, 10047}, {ENETDOWN, 10050},
        {ENETRESET, 10052},    {EHOSTDOWN, 10064},     {ELOOP, 10062},        {ENAMETOOLONG, 10063},
        {ENOTEMPTY, 10066},    {EMSGSIZE, 10040},      {ENOPROTOOPT, 10042},  {EOPNOTSUPP, 10045},
    };
    for (const auto& [errnoValue, winsock] : cases)
        EXPECT_EQ(WSErrorFromErrno(errnoValue), winsock) << errnoValue;
    // An errno without a Winsock name never lands on one that means something else.
    EXPECT_EQ(WSErrorDescription(WSErrorFromErrno(EDEADLK)), "");
    EXPECT_EQ(WSErrorDescription(WSErrorFromErrno(ENOLCK)), "");
}

TEST(Stack, ResolverFailuresMapToHostErrors) {
    const std::pair<int, int> cases[] = {
        {EAI_NONAME, 11001}, {EAI_AGAIN, 11002},      {EAI_FAIL, 11003},
        {EAI_NODATA, 11004}, {EAI_ADDRFAMILY, 11004}, {EAI_SERVICE, 11003},
    };
    for (const auto& [code, winsock] : cases)
        EXPECT_EQ(WSErrorFromResolver(code, 0), winsock) << code;
    EXPECT_EQ(WSErrorFromResolver(EAI_SYSTEM, ETIMEDOUT), 10060);
}

TEST(Stack, ErrorTexts) {
    TStackHolder holder;
    const std::pair<int, const char*> cases[] = {
        {10004, "Interrupted system call."},
        {10035, "Operation would block. "},
        {10047, "Address family not supported by protocol family."},
        {10053, "Software caused connection abort."},
        {10054, "Connection reset by peer."},
        {10058, "Cannot send or receive after socket is closed."},
        {10060, "Connection timed out."},
        {10061, "Connection refused."},
        {10066, "Directory not empty"},
        {11001, "Host not found."},
        {11002, ""},
        {11003, ""},
        {11004, ""},
        {10091, ""},
        {0, ""},
    };
    for (const auto& [number, text] : cases)
        EXPECT_EQ(GStack().SocketErrorText(number),
                  "Socket Error # " + std::to_string(number) + "\r\n" + text);
}

TEST(Stack, CheckSocketResult) {
    TStackHolder holder;
    TIdStack::SetLastError(0);
    TIdStackPosix::SetLastError(10061);
    // A result other than -1 never looks at the platform error.
    EXPECT_FALSE(GStack().CheckSocketResult(0));
    EXPECT_FALSE(GStack().CheckSocketResult(17));
    EXPECT_EQ(TIdStack::LastError(), 0);
    EXPECT_TRUE(GStack().CheckSocketResult(-1, {10058, 10061}));
    EXPECT_EQ(TIdStack::LastError(), 10061);
    try {
        GStack().CheckSocketResult(-1, {10058});
        FAIL() << "no exception";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorNumber, 10061);
        EXPECT_STREQ(e.ClassName(), "EIdSocketError");
        EXPECT_EQ(e.Message(), "Socket Error # 10061\r\nConnection refused.");
    }
}

TEST(Stack, LivesWhileComponentsLive) {
    ASSERT_FALSE(StackInstanceExists());
    int before = StackCreationCount();
    {
        TStackHolder a;
        EXPECT_TRUE(StackInstanceExists());
        {
            TStackHolder b;
            EXPECT_EQ(StackCreationCount(), before + 1);
        }
        EXPECT_TRUE(StackInstanceExists());
    }
    EXPECT_FALSE(StackInstanceExists());
    EXPECT_TRUE(StackStarted());
    for (int i = 0; i < 3; ++i) {
        TIdTCPClient client;
    }
    EXPECT_EQ(StackCreationCount(), before + 4);
    EXPECT_THROW(GStack(), EIdStackError);
}

TEST(Stack, IPv6AddressTexts) {
    const std::pair<const char*, bool> cases[] = {
        {"::1", true},
        {"[::1]", true},
        {"2001:db8::1", true},
        {"2001:DB8:0:0:0:0:0:1", true},
        {"::", true},
        {"::ffff:127.0.0.1", true},
        {"fe80::1%lo", true},
        {"fe80::1%2", true},
        {"fe80::1%", false},
        {"fe80::1%averyveryverylongname", false},
        {"127.0.0.1", false},
        {"[127.0.0.1]", false},
        {"1:2:3:4:5:6:7:8:9", false},
        {"1:2:3:4:5:6:7", false},
        {"::1]", false},
        {"[::1", false},
        {"[[::1]]", false},
        {"::g", false},
        {":::1", false},
        {" ::1", false},
        {"::1 ", false},
        {"", false},
        {"[]", false},
        {"localhost", false},
        {"photo.quillora.example", false},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(TIdStack::IsIPv6Address(text), expected) << text;
        EXPECT_EQ(TIdStack::AddressFamily(text), expected ? Id_PF_INET6 : Id_PF_INET) << text;
    }
}

TEST(Stack, AddressesWithAPort) {
    const std::tuple<const char*, int, const char*> cases[] = {
        {"127.0.0.1", 80, "127.0.0.1:80"},
        {"10.0.0.1", 65535, "10.0.0.1:65535"},
        {"::1", 80, "[::1]:80"},
        {"[::1]", 443, "[::1]:443"},
        {"2001:db8::1", 8080, "[2001:db8::1]:8080"},
        {"fe80::1%2", 80, "[fe80::1%2]:80"},
        {"::ffff:127.0.0.1", 1, "[::ffff:127.0.0.1]:1"},
    };
    for (const auto& [address, port, expected] : cases)
        EXPECT_EQ(TIdStack::AddressWithPort(address, port), expected) << address;
}

// The system's socket addresses as the stack writes them: RFC 5952's short
// lower-case form, the zone of a link-local address by its number.
TEST(Stack, SocketAddressTexts) {
    const std::pair<const char*, const char*> cases[] = {
        {"::1", "::1"},
        {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
        {"2001:db8:0:1:0:0:0:1", "2001:db8:0:1::1"},
        {"::ffff:127.0.0.1", "::ffff:127.0.0.1"},
        {"::", "::"},
        {"fe80::1", "fe80::1%3"},
    };
    for (const auto& [input, expected] : cases) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        ASSERT_EQ(::inet_pton(AF_INET6, input, &address.sin6_addr), 1) << input;
        if (std::string(input) == "fe80::1") address.sin6_scope_id = 3;
        EXPECT_EQ(SocketAddressText(reinterpret_cast<sockaddr*>(&address)), expected) << input;
    }
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(0x0A000001);
    EXPECT_EQ(SocketAddressText(reinterpret_cast<sockaddr*>(&v4)), "10.0.0.1");
}

TEST(Stack, LiteralsResolveToThemselves) {
    TStackHolder holder;
    const std::pair<const char*, const char*> cases[] = {
        {"::1", "::1"},
        {"[::1]", "::1"},
        {"[2001:db8::1]", "2001:db8::1"},
        {"fe80::1%lo", "fe80::1%lo"},
        {"LocalHost", "127.0.0.1"},
        {"010.0.0.1", "010.0.0.1"},
    };
    for (const auto& [host, expected] : cases)
        EXPECT_EQ(GStack().ResolveToAddresses(host), std::vector<std::string>{expected}) << host;
}

TEST(Stack, InterleavedFamilies) {
    using TList = std::vector<std::string>;
    const std::pair<TList, TList> cases[] = {
        {{}, {}},
        {{"10.0.0.1"}, {"10.0.0.1"}},
        {{"10.0.0.1", "10.0.0.2"}, {"10.0.0.1", "10.0.0.2"}},
        {{"::1", "::2", "10.0.0.1", "10.0.0.2"}, {"::1", "10.0.0.1", "::2", "10.0.0.2"}},
        {{"10.0.0.1", "::1", "::2", "::3"}, {"10.0.0.1", "::1", "::2", "::3"}},
        {{"10.0.0.1", "10.0.0.2", "10.0.0.3", "::1"}, {"10.0.0.1", "::1", "10.0.0.2", "10.0.0.3"}},
        {{"::1", "10.0.0.1", "10.0.0.2", "::2"}, {"::1", "10.0.0.1", "::2", "10.0.0.2"}},
    };
    for (const auto& [given, expected] : cases)
        EXPECT_EQ(InterleaveFamilies(given), expected) << testing::PrintToString(given);
}

TEST(SocketHandle, BothFamiliesBindAndReadBackTheirLocalEnd) {
    TStackHolder holder;
    const std::tuple<int, const char*, const char*> cases[] = {
        {Id_PF_INET, "", "0.0.0.0"},
        {Id_PF_INET, "127.0.0.1", "127.0.0.1"},
        {Id_PF_INET6, "", "::"},
        {Id_PF_INET6, "::1", "::1"},
        {Id_PF_INET6, "[::1]", "::1"},
    };
    for (const auto& [family, ip, expected] : cases) {
        TIdSocketHandle handle;
        handle.AllocateSocket(Id_SOCK_STREAM, Id_IPPROTO_IP, family);
        handle.IP = ip;
        handle.Bind();
        EXPECT_EQ(handle.IP, expected) << ip;
        EXPECT_GT(handle.Port, 0) << ip;
    }
    // An address of the other family, and a text that is no address at all.
    const std::tuple<int, const char*, const char*> refused[] = {
        {Id_PF_INET6, "127.0.0.1", "10047\r\nAddress family not supported by protocol family."},
        {Id_PF_INET, "::1", "10047\r\nAddress family not supported by protocol family."},
        {Id_PF_INET6, "::1%", "10022\r\nInvalid argument."},
        {Id_PF_INET6, "fe80::1%nosuchinterface", "10022\r\nInvalid argument."},
    };
    for (const auto& [family, ip, expected] : refused) {
        TIdSocketHandle handle;
        handle.AllocateSocket(Id_SOCK_STREAM, Id_IPPROTO_IP, family);
        handle.IP = ip;
        EXPECT_EQ(Raised([&] { handle.Bind(); }), std::string("EIdSocketError: Socket Error # ") + expected) << ip;
    }
    EXPECT_EQ(Raised([&] { TIdSocketHandle().AllocateSocket(Id_SOCK_STREAM, Id_IPPROTO_IP, 99); }),
              "EIdInvalidSocket: Cannot allocate socket.");
}
