#include "net/IdStack.h"

#include "core/Exceptions.h"
#include "core/TextUtils.h"
#include "net/IdException.h"
#include "net/IdStackPosix.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <memory>
#include <netinet/in.h>

namespace {

// Guards the component count and the stack object; nothing else.
std::mutex StackLock;
int32_t ComponentCount = 0;
std::unique_ptr<TIdStack> StackInstance;
// What GStack hands out, read without the lock by every connection's thread.
std::atomic<TIdStack*> PublishedStack{nullptr};
int StackCreations = 0;
bool Started = false;

// Cuts the text before the next "." and removes it with the "."; all of it when none is left.
std::string CutAtDot(std::string& text) {
    size_t dot = text.find('.');
    std::string part = text.substr(0, dot);
    text = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    return part;
}

std::array<std::string, 4> SplitQuad(const std::string& text) {
    std::string rest = text;
    std::array<std::string, 4> parts;
    for (int i = 0; i < 3; ++i)
        parts[static_cast<size_t>(i)] = CutAtDot(rest);
    parts[3] = rest;
    return parts;
}

// A whole decimal number of 0..255: no sign, no blanks, no hexadecimal.
// "[::1]" -> "::1"; anything else unchanged.
std::string StripBrackets(const std::string& text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') return text.substr(1, text.size() - 2);
    return text;
}

bool IsOctet(const std::string& part) {
    if (part.empty() || part.size() > 10) return false;
    if (!std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
    return std::stoll(part) <= 255;
}

} // namespace

TIdStack& GStack() {
    // Only valid while a component holds the stack; a use outside one is a programming fault.
    TIdStack* stack = PublishedStack.load(std::memory_order_acquire);
    if (stack == nullptr) throw EIdStackError("Stack not initialized.");
    return *stack;
}

void AcquireStack() {
    std::lock_guard<std::mutex> lock(StackLock);
    if (ComponentCount == 0) {
        StackInstance = std::make_unique<TIdStackPosix>();
        PublishedStack.store(StackInstance.get(), std::memory_order_release);
        ++StackCreations;
        Started = true;
    }
    ++ComponentCount;
}

void ReleaseStack() {
    std::lock_guard<std::mutex> lock(StackLock);
    if (--ComponentCount == 0) {
        PublishedStack.store(nullptr, std::memory_order_release);
        StackInstance.reset();
    }
}

bool StackStarted() {
    std::lock_guard<std::mutex> lock(StackLock);
    return Started;
}

bool StackInstanceExists() {
    std::lock_guard<std::mutex> lock(StackLock);
    return StackInstance != nullptr;
}

int StackCreationCount() {
    std::lock_guard<std::mutex> lock(StackLock);
    return StackCreations;
}

std::string TIdStack::ResolveToAddress(const std::string& host, const TIdCancelSignal* cancel) {
    return ResolveToAddresses(host, cancel).front();
}

std::vector<std::string> TIdStack::ResolveToAddresses(const std::string& host, const TIdCancelSignal* cancel,
                                                      int timeout) {
    std::string upper = host;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return std::toupper(c); });
    if (upper == "LOCALHOST") return {"127.0.0.1"};
    if (IsDottedQuad(host)) return {host};
    if (IsIPv6Address(host)) return {StripBrackets(host)};
    return LookupHostAddresses(host, cancel, timeout);
}

bool TIdStack::IsIPv6Address(const std::string& text) {
    const std::string bare = StripBrackets(text);
    const std::string address = bare.substr(0, bare.find('%'));
    in6_addr bytes{};
    // A zone names an interface: a few letters or digits, never empty.
    const size_t zone = bare.find('%');
    if (zone != std::string::npos && (zone + 1 == bare.size() || bare.size() - zone > 16)) return false;
    return address.find(':') != std::string::npos && ::inet_pton(AF_INET6, address.c_str(), &bytes) == 1;
}

int TIdStack::AddressFamily(const std::string& address) {
    return IsIPv6Address(address) ? Id_PF_INET6 : Id_PF_INET;
}

std::string TIdStack::AddressWithPort(const std::string& address, int port) {
    const std::string bare = StripBrackets(address);
    const bool v6 = IsIPv6Address(bare);
    return (v6 ? "[" + bare + "]" : bare) + ":" + std::to_string(port);
}

bool TIdStack::IsDottedQuad(const std::string& text) {
    auto parts = SplitQuad(text);
    return std::all_of(parts.begin(), parts.end(), IsOctet);
}

std::string TIdStack::AddressToText(const TIdInAddr& address) {
    return Format("%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
}

TIdInAddr TIdStack::TextToAddress(const std::string& text) {
    auto parts = SplitQuad(text);
    TIdInAddr address{};
    for (size_t i = 0; i < 4; ++i)
        address[i] = static_cast<uint8_t>(TextToInt(parts[i]));
    return address;
}

bool TIdStack::CheckSocketResult(int result, std::initializer_list<int> allowed) {
    if (result != Id_SOCKET_ERROR) return false;
    const int errorNumber = WSGetLastError();
    SetLastError(errorNumber);
    if (std::find(allowed.begin(), allowed.end(), errorNumber) != allowed.end()) return true;
    RaiseSocketError(errorNumber);
}

namespace {
thread_local int CheckedError = 0;
}

int TIdStack::LastError() {
    return CheckedError;
}

void TIdStack::SetLastError(int errorNumber) {
    CheckedError = errorNumber;
}

void TIdStack::RaiseSocketError(int errorNumber) {
    throw EIdSocketError(errorNumber, SocketErrorText(errorNumber));
}

std::string TIdStack::SocketErrorText(int errorNumber) {
    return Format(RSSocketErrorFormat, errorNumber, WSErrorDescription(errorNumber).c_str());
}
