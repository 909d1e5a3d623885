#include "http/IdAuthentication.h"
#include "http/IdAuthenticationManager.h"

#include <gtest/gtest.h>

namespace {

TIdHeaderList Challenges(std::initializer_list<const char*> lines) {
    TIdHeaderList list;
    for (const char* line : lines)
        list.Add(line);
    return list;
}

// The request side of a client as the server credentials routine sees it.
struct TRequestSide {
    int AuthTries = 0;
    std::unique_ptr<TIdAuthentication> Authenticator;
    std::string Username;
    std::string Password;
    bool BasicAuthentication = false;
    TIdOnSelectAuthorization OnSelect;
    TIdOnAuthorization OnAuthorization;

    bool Answer(const TIdHeaderList& challenges) {
        return AnswerServerChallenge({nullptr, AuthTries, challenges, Authenticator, Username, Password,
                                      BasicAuthentication, OnSelect, OnAuthorization});
    }
};

// A scheme of the tests' own, with two steps.
class TTwoStepAuthentication : public TIdAuthentication {
  public:
    static TIdAuthenticationClass Class() {
        static const TIdAuthenticationClassInfo info{
            "TTwoStepAuthentication",
            [] { return std::unique_ptr<TIdAuthentication>(std::make_unique<TTwoStepAuthentication>()); }};
        return &info;
    }
    TIdAuthWhatsNext Advance() override {
        ++CurrentStep;
        return SendAgain;
    }
    int Steps() const override { return 2; }
    std::string CredentialsText() override { return "TwoStep " + UserName(); }
    TIdAuthenticationClass ClassType() const override { return Class(); }
};

} // namespace

TEST(IdAuthentication, Base64) {
    EXPECT_EQ(EncodeBase64(""), "");
    EXPECT_EQ(EncodeBase64("f"), "Zg==");
    EXPECT_EQ(EncodeBase64("fo"), "Zm8=");
    EXPECT_EQ(EncodeBase64("foobar"), "Zm9vYmFy");
    EXPECT_EQ(EncodeBase64(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(IdAuthentication, BasicCredentialsText) {
    TIdBasicAuthentication basic;
    basic.SetUserName("Aladdin");
    basic.SetPassword("open sesame");
    EXPECT_EQ(basic.CredentialsText(), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    basic.SetPassword("");
    EXPECT_EQ(basic.CredentialsText(), "Basic " + EncodeBase64("Aladdin:"));
    // Bytes as they are: GBK, blanks at the ends, a colon in the password.
    basic.SetUserName("\xd5\xc5 ");
    basic.SetPassword(" a:b ");
    EXPECT_EQ(basic.UserName(), "\xd5\xc5 ");
    EXPECT_EQ(basic.Password(), " a:b ");
    EXPECT_EQ(basic.CredentialsText(), "Basic " + EncodeBase64("\xd5\xc5 : a:b "));
    basic.SetPassword(std::string(300, 'p') + " " + std::string(300, 'q'));
    EXPECT_EQ(basic.Password(), std::string(300, 'p') + " " + std::string(300, 'q'));
}

TEST(IdAuthentication, BasicAdvanceReadsTheChallenge) {
    TIdBasicAuthentication basic;
    basic.ChallengeLines().Add("Digest realm=\"d\"");
    basic.ChallengeLines().Add("Basic realm=\"WallyWorld\", charset=\"UTF-8\"");
    EXPECT_EQ(basic.Advance(), AskProgram);
    EXPECT_EQ(basic.RealmText, "WallyWorld");
    EXPECT_EQ(basic.Credentials().ValueOf("charset"), "\"UTF-8\"");
    EXPECT_EQ(basic.CurrentStep, 0);
    basic.SetUserName("u");
    EXPECT_EQ(basic.Advance(), SendAgain);
    EXPECT_EQ(basic.CurrentStep, 1);
    basic.Reset();
    EXPECT_EQ(basic.CurrentStep, 0);

    // A challenge does not get to pick the user name.
    TIdBasicAuthentication other;
    other.ChallengeLines().Add("Basic realm=\"r\", username=\"mallory\", Password=x");
    EXPECT_EQ(other.Advance(), AskProgram);
    EXPECT_EQ(other.UserName(), "");
    EXPECT_EQ(other.Password(), "");

    TIdBasicAuthentication odd;
    odd.ChallengeLines().Add("Basic");
    odd.ChallengeLines().Add("Basic realm=");
    EXPECT_EQ(odd.Advance(), AskProgram);
    EXPECT_EQ(odd.RealmText, "");
}

TEST(IdAuthentication, SchemeRegistry) {
    EXPECT_EQ(FindAuthScheme("Basic"), TIdBasicAuthentication::Class());
    EXPECT_EQ(FindAuthScheme("bAsIc"), TIdBasicAuthentication::Class());
    EXPECT_EQ(FindAuthScheme("Digest"), nullptr);
    EXPECT_EQ(FindAuthScheme(""), nullptr);
    try {
        RegisterAuthScheme("BASIC", TTwoStepAuthentication::Class());
        FAIL() << "no exception";
    } catch (const EIdAlreadyRegisteredAuthenticationMethod& e) {
        EXPECT_EQ(e.Message(), "This authentication method is already registered with class name "
                               "TIdBasicAuthentication.");
        EXPECT_STREQ(e.ClassName(), "EIdAlreadyRegisteredAuthenticationMethod");
        EXPECT_NE(dynamic_cast<const EIdException*>(&e), nullptr);
    }
    if (FindAuthScheme("TwoStep") == nullptr) RegisterAuthScheme("TwoStep", TTwoStepAuthentication::Class());
    EXPECT_EQ(FindAuthScheme("twostep"), TTwoStepAuthentication::Class());
    EXPECT_THROW(RegisterAuthScheme("twoSTEP", TIdBasicAuthentication::Class()),
                 EIdAlreadyRegisteredAuthenticationMethod);
}

TEST(IdServerAuthorization, DefaultClientNeverAnswers) {
    TRequestSide r;
    const TIdHeaderList challenges = Challenges({"Basic realm=\"x\""});
    EXPECT_FALSE(r.Answer(challenges));
    EXPECT_EQ(r.AuthTries, 1);
    ASSERT_NE(r.Authenticator, nullptr); // the scheme is chosen even so
    EXPECT_STREQ(r.Authenticator->ClassName(), "TIdBasicAuthentication");

    TRequestSide unknown;
    unknown.OnAuthorization = [](TIdComponent*, TIdAuthentication*, bool& handled) { handled = true; };
    EXPECT_FALSE(unknown.Answer(Challenges({"Negotiate", "Digest realm=\"x\""})));
    EXPECT_EQ(unknown.Authenticator, nullptr);
    EXPECT_FALSE(unknown.Answer(Challenges({})));
    EXPECT_EQ(unknown.AuthTries, 2);
}

TEST(IdServerAuthorization, CallbackSuppliesTheCredentials) {
    TRequestSide r;
    int asked = 0;
    r.OnAuthorization = [&](TIdComponent*, TIdAuthentication* auth, bool& handled) {
        ++asked;
        EXPECT_EQ(static_cast<TIdBasicAuthentication*>(auth)->RealmText, "files");
        auth->SetUserName("user");
        auth->SetPassword("secret");
        handled = true;
    };
    EXPECT_TRUE(r.Answer(Challenges({"Basic realm=\"files\""})));
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(r.Username, "user");
    EXPECT_EQ(r.Password, "secret");
    EXPECT_TRUE(r.BasicAuthentication);
    EXPECT_EQ(r.Authenticator->CredentialsText(), "Basic dXNlcjpzZWNyZXQ=");
    // What was sent when the challenge came is kept under "Authorization".
    EXPECT_EQ(r.Authenticator->Credentials().ValueOf("Authorization"), "Basic Og==");
    EXPECT_EQ(r.Authenticator->ChallengeLines()[0], "Basic realm=\"files\"");
}

TEST(IdServerAuthorization, CredentialsOfTheUrlNeedNoQuestion) {
    TRequestSide r;
    r.Username = "u";
    r.Password = "p";
    bool asked = false;
    r.OnAuthorization = [&](TIdComponent*, TIdAuthentication*, bool&) { asked = true; };
    EXPECT_TRUE(r.Answer(Challenges({"Basic realm=\"x\""})));
    EXPECT_FALSE(asked);
    EXPECT_FALSE(r.BasicAuthentication);
    EXPECT_EQ(r.Authenticator->CredentialsText(), "Basic dTpw");
}

TEST(IdServerAuthorization, DeclinedOrEmptyHandlingGivesUp) {
    TRequestSide declined;
    declined.OnAuthorization = [](TIdComponent*, TIdAuthentication*, bool& handled) { handled = false; };
    EXPECT_FALSE(declined.Answer(Challenges({"Basic realm=\"x\""})));
    EXPECT_FALSE(declined.BasicAuthentication);

    // Handled, but no user name given: asking again would never end.
    TRequestSide empty;
    int asked = 0;
    empty.OnAuthorization = [&](TIdComponent*, TIdAuthentication*, bool& handled) {
        ++asked;
        handled = true;
    };
    EXPECT_FALSE(empty.Answer(Challenges({"Basic realm=\"x\""})));
    EXPECT_GT(asked, 0);
    EXPECT_LT(asked, 100);
}

TEST(IdServerAuthorization, SelectionCallbackMayReplaceTheScheme) {
    TRequestSide r;
    TIdHeaderList seen;
    r.OnSelect = [&](TIdComponent*, TIdAuthenticationClass& authClass, TIdHeaderList& info) {
        EXPECT_EQ(authClass, TIdBasicAuthentication::Class());
        seen = info;
        authClass = TTwoStepAuthentication::Class();
    };
    r.OnAuthorization = [](TIdComponent*, TIdAuthentication*, bool& handled) { handled = true; };
    EXPECT_TRUE(r.Answer(Challenges({"Basic realm=\"x\""})));
    EXPECT_STREQ(r.Authenticator->ClassName(), "TTwoStepAuthentication");
    ASSERT_EQ(seen.Count(), 1);

    TRequestSide none;
    none.OnSelect = [](TIdComponent*, TIdAuthenticationClass& authClass, TIdHeaderList&) {
        authClass = nullptr;
    };
    none.OnAuthorization = r.OnAuthorization;
    EXPECT_FALSE(none.Answer(Challenges({"Basic realm=\"x\""})));
    EXPECT_EQ(none.Authenticator, nullptr);
}

TEST(IdProxyAuthorization, A407ClearsThePasswordBeforeAsking) {
    TIdProxyConnectionInfo proxy;
    proxy.SetProxyServer("proxy");
    proxy.SetProxyPort(3128);
    proxy.ProxyUsername = "pu";
    proxy.ProxyPassword = "old";
    int tries = 0;
    TIdOnSelectAuthorization select;
    TIdOnAuthorization none;
    const TIdHeaderList challenges = Challenges({"Basic realm=\"proxy\""});
    EXPECT_FALSE(AnswerProxyChallenge({nullptr, tries, 407, challenges, proxy, select, none}));
    EXPECT_EQ(tries, 1);
    EXPECT_EQ(proxy.ProxyPassword, "");
    ASSERT_NE(proxy.Authentication(), nullptr);

    TIdProxyConnectionInfo asking;
    asking.SetProxyServer("proxy");
    TIdOnAuthorization fill = [](TIdComponent*, TIdAuthentication* auth, bool& handled) {
        auth->SetUserName("alice");
        auth->SetPassword("wonder");
        handled = true;
    };
    EXPECT_TRUE(AnswerProxyChallenge({nullptr, tries, 407, challenges, asking, select, fill}));
    EXPECT_EQ(asking.ProxyUsername, "alice");
    EXPECT_EQ(asking.ProxyPassword, "wonder");
    EXPECT_EQ(asking.Authentication()->Credentials().FindName("Authorization"), -1);

    TIdHeaderList headers;
    asking.SetHeaders(headers);
    EXPECT_EQ(headers.ValueOf("Proxy-Authorization"), "Basic " + EncodeBase64("alice:wonder"));

    TIdProxyConnectionInfo unknown;
    EXPECT_FALSE(AnswerProxyChallenge({nullptr, tries, 407, Challenges({"NTLM"}), unknown, select, fill}));
    EXPECT_EQ(unknown.Authentication(), nullptr);
}

TEST(IdProxyAuthorization, ProxySettingsAndPreemptiveBasic) {
    TIdProxyConnectionInfo proxy;
    TIdHeaderList headers;
    proxy.SetHeaders(headers);
    EXPECT_EQ(headers.Count(), 0);

    proxy.ProxyUsername = "u";
    proxy.ProxyPassword = "p";
    proxy.BasicAuthentication = true;
    proxy.SetHeaders(headers);
    EXPECT_EQ(headers.ValueOf("Proxy-Authorization"), "Basic dTpw");
    EXPECT_EQ(proxy.Authentication(), nullptr); // made for the header only

    // Another proxy drops the old one's authenticator; the same one in other case keeps it.
    proxy.SetProxyServer("Proxy.Local");
    proxy.SetProxyPort(8080);
    proxy.AuthenticationSlot() = std::make_unique<TIdBasicAuthentication>();
    proxy.SetProxyServer("proxy.local");
    proxy.SetProxyPort(8080);
    EXPECT_NE(proxy.Authentication(), nullptr);
    proxy.SetProxyPort(8081);
    EXPECT_EQ(proxy.Authentication(), nullptr);
    proxy.AuthenticationSlot() = std::make_unique<TIdBasicAuthentication>();
    proxy.SetProxyServer("other");
    EXPECT_EQ(proxy.Authentication(), nullptr);
}

TEST(IdAuthenticationManager, CompletedSchemesAreHandedOverOnDisconnect) {
    TIdAuthenticationManager manager;
    TIdProxyConnectionInfo proxy;
    proxy.AuthenticationSlot() = std::make_unique<TIdBasicAuthentication>();
    proxy.Authentication()->CurrentStep = 1;

    std::unique_ptr<TIdAuthentication> auth = std::make_unique<TIdBasicAuthentication>();
    auth->SetUserName("u");
    HandOverAuthenticator(auth, &manager, "http://h:80/a/", proxy);
    EXPECT_NE(auth, nullptr); // not sent yet: stays with the request
    EXPECT_EQ(manager.Count(), 0);
    EXPECT_EQ(proxy.Authentication()->CurrentStep, 0);

    EXPECT_EQ(auth->Advance(), SendAgain);
    HandOverAuthenticator(auth, &manager, "http://h:80/a/", proxy);
    EXPECT_EQ(auth, nullptr);
    ASSERT_EQ(manager.Count(), 1);
    EXPECT_EQ(manager.Item(0).URL.HostName, "h");
    EXPECT_EQ(manager.Item(0).URL.PortText, "80");
    EXPECT_EQ(manager.Item(0).Params.ValueOf("Username"), "u");

    auth = std::make_unique<TIdBasicAuthentication>();
    auth->SetUserName("v");
    auth->Advance();
    HandOverAuthenticator(auth, nullptr, "http://h/", proxy);
    EXPECT_EQ(auth, nullptr);
    EXPECT_EQ(manager.Count(), 1);
}
