#pragma once
// The base of every transport object: status and work events, and the hold on
// the process-wide stack object.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum TIdStatus {
    hsResolving,
    hsConnecting,
    hsConnected,
    hsDisconnecting,
    hsDisconnected,
    hsStatusText,
    ftpTransfer,
    ftpReady,
    ftpAborted
};

enum TWorkMode { wmRead, wmWrite };

class TIdComponent;

using TIdStatusEvent =
    std::function<void(TIdComponent* sender, TIdStatus status, const std::string& statusText)>;
using TWorkBeginEvent = std::function<void(TIdComponent* sender, TWorkMode workMode, int32_t workCountMax)>;
using TWorkEvent = std::function<void(TIdComponent* sender, TWorkMode workMode, int32_t workCount)>;
using TWorkEndEvent = std::function<void(TIdComponent* sender, TWorkMode workMode)>;
using TNotifyEvent = std::function<void(TIdComponent* sender)>;

// Ownership and free-notification: a component told of another's destruction
// forgets it in Notification.
class TIdBaseComponent {
  public:
    TIdBaseComponent() = default;
    virtual ~TIdBaseComponent();
    TIdBaseComponent(const TIdBaseComponent&) = delete;
    TIdBaseComponent& operator=(const TIdBaseComponent&) = delete;

    void FreeNotification(TIdBaseComponent* other);
    void RemoveFreeNotification(TIdBaseComponent* other);

  protected:
    virtual void Notification(TIdBaseComponent* /*component*/) {}

  private:
    std::vector<TIdBaseComponent*> FFreeNotifies;
};

class TIdComponent : public TIdBaseComponent {
  public:
    TIdComponent();
    ~TIdComponent() override;

    TIdStatusEvent OnStatus;
    TWorkBeginEvent OnWorkBegin;
    TWorkEvent OnWork;
    TWorkEndEvent OnWorkEnd;

    // Formats the status text with arg and calls OnStatus when assigned.
    void ReportStatus(TIdStatus status, const std::string& arg = "");
    static std::string StatusText(TIdStatus status, const std::string& arg);

    virtual void StartWork(TWorkMode workMode, int32_t workCountMax = 0);
    virtual void AddWork(TWorkMode workMode, int32_t workCount);
    virtual void FinishWork(TWorkMode workMode);

  private:
    struct TWorkInfo {
        int32_t Level = 0;
        int32_t CountMax = 0;
        int32_t Count = 0;
    };
    TWorkInfo FWorkInfos[2];
};
