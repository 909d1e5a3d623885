#include "transfer/GetFailure.h"

#include "http/BoundedFetch.h"
#include "http/ClientSettings.h"
#include "http/IdHTTP.h"
#include "http/IdURI.h"
#include "net/IdSSLContext.h"
#include "transfer/FailureText.h"
#include "transfer/RetryPolicy.h"

namespace {

TFailureClass Kind(bool retry, bool keepPart) {
    TFailureClass kind;
    kind.Retry = retry;
    kind.KeepPart = keepPart;
    return kind;
}

// Whether e is worth asking again, and whether the part is worth continuing.
TFailureClass KindOf(const Exception& e) {
    if (const auto* refused = dynamic_cast<const EIdHTTPProtocolException*>(&e)) {
        const bool retry = RetryableStatus(refused->ReplyCode);
        return Kind(retry, retry); // a picture that is gone (404) is not continued
    }
    // No reply can be the picture, or the address was refused here: asking again changes nothing.
    if (dynamic_cast<const EIdReplyTooLarge*>(&e) || dynamic_cast<const EIdURIException*>(&e) ||
        dynamic_cast<const EIdUnknownProtocol*>(&e) || dynamic_cast<const EIdIOHandlerPropInvalid*>(&e) ||
        dynamic_cast<const EIdRedirectRefused*>(&e) || dynamic_cast<const EIdSSLProtocolReplyError*>(&e))
        return Kind(false, false);
    // Refused before its body touched the part: a part a resume asked to
    // continue is as good as it was (a server that answers a Range with a
    // 200 it cannot prove whole may answer the next run properly).
    if (dynamic_cast<const EGetRefused*>(&e) || dynamic_cast<const EGetBusy*>(&e)) return Kind(false, true);
    // The disk, not the server: asking again would not help; what was written is good.
    if (dynamic_cast<const EGetDisk*>(&e) || dynamic_cast<const EStreamError*>(&e) ||
        dynamic_cast<const EInOutError*>(&e))
        return Kind(false, true);
    return Kind(true, true); // the connection: asked again, from where the part ends
}

// A server that is busy may say when it will answer.
std::optional<double> ServerWaitOf(const Exception& e, const std::string& retryAfter, TDateTime nowLocal) {
    const auto* refused = dynamic_cast<const EIdHTTPProtocolException*>(&e);
    if (!refused || (refused->ReplyCode != 429 && refused->ReplyCode != 503)) return std::nullopt;
    return RetryAfterSeconds(retryAfter, nowLocal);
}

} // namespace

TFailureClass ClassifyFailure(const TGetFailure& failure, TDateTime nowLocal) {
    try {
        std::rethrow_exception(failure.Error);
    } catch (const Exception& e) {
        TFailureClass kind = KindOf(e);
        kind.Message = OneLineMessage(e);
        kind.ServerWait = ServerWaitOf(e, failure.RetryAfter, nowLocal);
        return kind;
    } catch (const std::exception& e) {
        TFailureClass kind = Kind(false, false);
        kind.Message = e.what();
        return kind;
    } catch (...) {
        TFailureClass kind = Kind(false, false);
        kind.Message = "Unknown failure";
        return kind;
    }
}
