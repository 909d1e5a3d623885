#include "http/IdAuthentication.h"

#include "core/TextUtils.h"
#include "http/IdURI.h"

#include <mutex>
#include <utility>
#include <vector>

// ---------------------------------------------------------------- base64

std::string EncodeBase64(std::string_view bytes) {
    static const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t n = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                           static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += Alphabet[n >> 18 & 63];
        out += Alphabet[n >> 12 & 63];
        out += Alphabet[n >> 6 & 63];
        out += Alphabet[n & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t n = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2) n |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out += Alphabet[n >> 18 & 63];
        out += Alphabet[n >> 12 & 63];
        out += rest == 2 ? Alphabet[n >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

// ---------------------------------------------------------------- TIdAuthentication

TIdAuthentication::TIdAuthentication() {
    // User names and passwords are kept byte for byte: a folded or trimmed
    // password would be a different password.
    FCredentials.FoldOnWrite = false;
}

TIdAuthentication::~TIdAuthentication() = default;

void TIdAuthentication::SetPassword(const std::string& password) {
    SetCredential("Password", password);
}

void TIdAuthentication::SetUserName(const std::string& userName) {
    SetCredential("Username", userName);
}

void TIdAuthentication::Reset() {
    CurrentStep = 0;
}

std::string TIdAuthentication::UserName() const {
    return RawCredential("username");
}

std::string TIdAuthentication::Password() const {
    return RawCredential("password");
}

TIdHeaderList& TIdAuthentication::ChallengeLines() {
    if (!FChallengeLines) FChallengeLines = std::make_unique<TIdHeaderList>();
    return *FChallengeLines;
}

std::string TIdAuthentication::RawCredential(std::string_view name) const {
    const int index = FCredentials.FindName(name);
    if (index < 0) return {};
    const std::string& line = FCredentials[index];
    size_t from = line.find(':') + 1;
    if (from < line.size() && line[from] == ' ') ++from;
    return line.substr(from);
}

void TIdAuthentication::SetCredential(std::string_view name, const std::string& value) {
    FCredentials.SetHeader(name, value);
}

// ---------------------------------------------------------------- Basic

namespace {

std::unique_ptr<TIdAuthentication> MakeBasic() {
    return std::make_unique<TIdBasicAuthentication>();
}

const TIdAuthenticationClassInfo BasicClass{"TIdBasicAuthentication", &MakeBasic};

// The parameters of a challenge ("Basic realm=\"x\", charset=\"UTF-8\"") as
// "name: value" lines.
void AddChallengeParams(std::string challenge, TIdHeaderList& credentials) {
    SplitAt(challenge, " ");
    while (!challenge.empty()) {
        std::string line = SplitAt(challenge, ", ");
        const size_t eq = line.find('=');
        if (eq != std::string::npos) line.replace(eq, 1, ": ");
        // The challenge comes from the server: it must not choose the credentials.
        const std::string name = TextTrim(line.substr(0, line.find(':')));
        if (SameText(name, "username") || SameText(name, "password") || SameText(name, "authorization"))
            continue;
        credentials.Add(line);
    }
}

} // namespace

TIdAuthenticationClass TIdBasicAuthentication::Class() {
    return &BasicClass;
}

TIdAuthWhatsNext TIdBasicAuthentication::Advance() {
    TIdHeaderList& challenges = ChallengeLines();
    for (int k = 0; k < challenges.Count(); ++k) {
        if (challenges[k].rfind("Basic", 0) != 0) continue;
        AddChallengeParams(challenges[k], Credentials());
        const std::string realm = Credentials().ValueOf("realm");
        RealmText = realm.size() >= 2 ? realm.substr(1, realm.size() - 2) : std::string();
        break;
    }
    if (UserName().empty()) return AskProgram;
    CurrentStep = Steps();
    return SendAgain;
}

std::string TIdBasicAuthentication::CredentialsText() {
    return "Basic " + EncodeBase64(UserName() + ":" + Password());
}

// ---------------------------------------------------------------- registry

namespace {

struct TSchemeEntry {
    std::string Name;
    TIdAuthenticationClass Class;
};

// Made on first use with "Basic" in it, so that no start-up order can find it empty.
std::vector<TSchemeEntry>& Schemes() {
    static std::vector<TSchemeEntry> schemes{{"Basic", TIdBasicAuthentication::Class()}};
    return schemes;
}

std::mutex& SchemesLock() {
    static std::mutex lock;
    return lock;
}

} // namespace

void RegisterAuthScheme(const std::string& name, TIdAuthenticationClass authClass) {
    std::lock_guard<std::mutex> hold(SchemesLock());
    for (const TSchemeEntry& entry : Schemes())
        if (SameText(entry.Name, name))
            throw EIdAlreadyRegisteredAuthenticationMethod(
                Format("This authentication method is already registered with class name %s.",
                       entry.Class->ClassName));
    Schemes().push_back({name, authClass});
}

TIdAuthenticationClass FindAuthScheme(const std::string& name) {
    std::lock_guard<std::mutex> hold(SchemesLock());
    for (const TSchemeEntry& entry : Schemes())
        if (SameText(entry.Name, name)) return entry.Class;
    return nullptr;
}

// ---------------------------------------------------------------- TIdProxyConnectionInfo

TIdProxyConnectionInfo::TIdProxyConnectionInfo() = default;
TIdProxyConnectionInfo::~TIdProxyConnectionInfo() = default;

void TIdProxyConnectionInfo::SetProxyServer(const std::string& server) {
    if (!SameText(server, FProxyServer)) FAuthentication.reset();
    FProxyServer = server;
}

void TIdProxyConnectionInfo::SetProxyPort(int port) {
    if (port != FProxyPort) FAuthentication.reset();
    FProxyPort = port;
}

void TIdProxyConnectionInfo::SetHeaders(TIdHeaderList& headers) {
    std::string text;
    if (FAuthentication) {
        text = FAuthentication->CredentialsText();
    } else if (BasicAuthentication) {
        TIdBasicAuthentication basic;
        basic.SetUserName(ProxyUsername);
        basic.SetPassword(ProxyPassword);
        text = basic.CredentialsText();
    }
    if (!text.empty()) headers.SetHeader("Proxy-Authorization", text);
}

// ---------------------------------------------------------------- credentials routines

namespace {

// The first challenge whose first word names a registered scheme.
TIdAuthenticationClass SchemeOfChallenges(const TIdHeaderList& challenges) {
    for (int k = 0; k < challenges.Count(); ++k) {
        std::string rest = challenges[k];
        const std::string scheme = SplitAt(rest, " ");
        if (TIdAuthenticationClass found = FindAuthScheme(scheme)) return found;
    }
    return nullptr;
}

void CopyChallenges(const TIdHeaderList& challenges, TIdAuthentication& authentication) {
    TIdHeaderList& lines = authentication.ChallengeLines();
    lines.Clear();
    for (int k = 0; k < challenges.Count(); ++k)
        lines.Add(challenges[k]);
}

// A callback that says it handled the request but leaves the scheme still
// asking would otherwise be asked for ever.
constexpr int MaxAskRounds = 8;

// Runs Advance until the scheme can send or gives up; onAsk fills in the
// credentials through the program's callback and answers whether it did.
template <typename TAsk> bool RunAdvance(TIdAuthentication& authentication, TAsk onAsk) {
    for (int round = 0; round < MaxAskRounds; ++round) {
        switch (authentication.Advance()) {
        case SendAgain:
            return true;
        case GiveUp:
            return false;
        case AskProgram:
            if (!onAsk()) return false;
            break;
        }
    }
    return false;
}

} // namespace

bool AnswerServerChallenge(const TIdServerAuthorization& client) {
    ++client.AuthTries;
    if (!client.Authenticator) {
        TIdAuthenticationClass authClass = SchemeOfChallenges(client.Challenges);
        if (authClass == nullptr) return false;
        if (client.OnSelectAuthorization) {
            TIdHeaderList authInfo = client.Challenges;
            client.OnSelectAuthorization(client.Sender, authClass, authInfo);
            if (authClass == nullptr) return false;
        }
        client.Authenticator = authClass->Create();
    }
    if (!client.OnAuthorization) return false;

    TIdAuthentication& auth = *client.Authenticator;
    auth.SetUserName(client.Username);
    auth.SetPassword(client.Password);
    auth.Credentials().SetHeader("Authorization", auth.CredentialsText());
    CopyChallenges(client.Challenges, auth);
    return RunAdvance(auth, [&] {
        auth.SetUserName(client.Username);
        auth.SetPassword(client.Password);
        bool handled = false;
        client.OnAuthorization(client.Sender, &auth, handled);
        if (!handled) return false;
        client.BasicAuthentication = true;
        client.Username = auth.UserName();
        client.Password = auth.Password();
        return true;
    });
}

bool AnswerProxyChallenge(const TIdProxyAuthorization& client) {
    ++client.ProxyAuthTries;
    TIdProxyConnectionInfo& proxy = client.ProxyParams;
    std::unique_ptr<TIdAuthentication>& slot = proxy.AuthenticationSlot();
    if (!slot) {
        TIdAuthenticationClass authClass = SchemeOfChallenges(client.Challenges);
        if (authClass == nullptr) return false;
        if (client.OnSelectProxyAuthorization) {
            TIdHeaderList authInfo = client.Challenges;
            client.OnSelectProxyAuthorization(client.Sender, authClass, authInfo);
            if (authClass == nullptr) return false;
        }
        slot = authClass->Create();
    }
    const bool answer = static_cast<bool>(client.OnProxyAuthorization);
    if (client.ReplyCode == 407) {
        proxy.ProxyPassword.clear();
        slot->Reset();
    }
    if (!answer) return false;

    TIdAuthentication& auth = *slot;
    auth.SetUserName(proxy.ProxyUsername);
    auth.SetPassword(proxy.ProxyPassword);
    CopyChallenges(client.Challenges, auth);
    return RunAdvance(auth, [&] {
        auth.SetUserName(proxy.ProxyUsername);
        auth.SetPassword(proxy.ProxyPassword);
        bool handled = false;
        client.OnProxyAuthorization(client.Sender, &auth, handled);
        if (!handled) return false;
        proxy.ProxyUsername = auth.UserName();
        proxy.ProxyPassword = auth.Password();
        return true;
    });
}
