#include "net/IdComponent.h"

#include "core/Exceptions.h"
#include "net/IdStack.h"

#include <algorithm>
#include <limits>

TIdBaseComponent::~TIdBaseComponent() {
    std::vector<TIdBaseComponent*> others;
    others.swap(FFreeNotifies);
    for (TIdBaseComponent* other : others) {
        auto& list = other->FFreeNotifies;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
        other->Notification(this);
    }
}

void TIdBaseComponent::FreeNotification(TIdBaseComponent* other) {
    if (other == nullptr || other == this) return;
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), other) == FFreeNotifies.end()) {
        FFreeNotifies.push_back(other);
        other->FFreeNotifies.push_back(this);
    }
}

void TIdBaseComponent::RemoveFreeNotification(TIdBaseComponent* other) {
    if (other == nullptr) return;
    FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), other), FFreeNotifies.end());
    auto& list = other->FFreeNotifies;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

TIdComponent::TIdComponent() {
    AcquireStack();
}

TIdComponent::~TIdComponent() {
    ReleaseStack();
}

std::string TIdComponent::StatusText(TIdStatus status, const std::string& arg) {
    switch (status) {
    case hsResolving:
        return Format("Resolving hostname %s.", arg.c_str());
    case hsConnecting:
        return Format("Connecting to %s.", arg.c_str());
    case hsConnected:
        return "Connected.";
    case hsDisconnecting:
        return "Disconnecting.";
    case hsDisconnected:
        return "Disconnected.";
    case hsStatusText:
    case ftpTransfer:
    case ftpReady:
    case ftpAborted:
        return arg;
    }
    return arg;
}

void TIdComponent::ReportStatus(TIdStatus status, const std::string& arg) {
    if (OnStatus) OnStatus(this, status, StatusText(status, arg));
}

void TIdComponent::StartWork(TWorkMode workMode, int32_t workCountMax) {
    TWorkInfo& info = FWorkInfos[workMode];
    if (++info.Level == 1) {
        info.CountMax = workCountMax;
        info.Count = 0;
        if (OnWorkBegin) OnWorkBegin(this, workMode, workCountMax);
    }
}

void TIdComponent::AddWork(TWorkMode workMode, int32_t workCount) {
    TWorkInfo& info = FWorkInfos[workMode];
    if (info.Level < 1) return;
    // A body past 2 GB keeps reporting the largest count instead of wrapping negative.
    int64_t total = static_cast<int64_t>(info.Count) + workCount;
    info.Count = static_cast<int32_t>(std::clamp<int64_t>(total, 0, std::numeric_limits<int32_t>::max()));
    if (OnWork) OnWork(this, workMode, info.Count);
}

void TIdComponent::FinishWork(TWorkMode workMode) {
    TWorkInfo& info = FWorkInfos[workMode];
    if (info.Level == 1 && OnWorkEnd) OnWorkEnd(this, workMode);
    if (info.Level > 0) --info.Level;
}
