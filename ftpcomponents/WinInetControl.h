// The Internet-session component: owns the session handle of the Internet
// library, follows the connection state from the library's status
// notifications, turns connection errors into messages, and aborts a
// blocked call from a worker thread. The FTP component derives from it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/classes/classes.h"
#include "platform/inet/wininet.h"
#include "platform/messaging/messaging.h"

enum TWinInetState : std::uint8_t {
  isDisconnecting,
  isDisconnected,
  isConnecting,
  isConnected,
  isResolving,
  isResolved,
};

enum TResolveNames : std::uint8_t { rnLocal, rnPreConfig, rnProxy };

using TNotifyEvent = std::function<void(plat::TObject* Sender)>;
using TStateChangeEvent = std::function<void(plat::TObject* Sender, TWinInetState NewState)>;

// The quick display controls the components write into; the GUI supplies
// them (the components hold them, they do not own them).
class IProgressDisplay {
 public:
  virtual ~IProgressDisplay() = default;
  virtual void SetMax(int max) = 0;
  virtual void SetPosition(int position) = 0;
};

class ICaptionDisplay {
 public:
  virtual ~ICaptionDisplay() = default;
  virtual void SetCaption(const std::string& caption) = 0;
};

class IStatusDisplay {
 public:
  virtual ~IStatusDisplay() = default;
  virtual bool SimplePanel() const = 0;
  virtual void SetSimpleText(const std::string& text) = 0;
  virtual int PanelCount() const = 0;
  virtual void SetPanelText(int index, const std::string& text) = 0;
};

class EWinInetError : public plat::Exception {
 public:
  using plat::Exception::Exception;
};

class TWinInetControl;

// Runs the component's Disconnect on a thread of its own.
class TInetAbortThread : public plat::TObject {
 public:
  // Made suspended; Resume starts it.
  explicit TInetAbortThread(TWinInetControl* control);
  // Waits for the thread when it was started.
  ~TInetAbortThread() override;
  void Resume();
  void WaitFor();

 protected:
  virtual void Execute();

 private:
  TWinInetControl* Control_;
  std::thread Thread_;
};

class TWinInetControl : public plat::TComponent {
 public:
  explicit TWinInetControl(plat::TComponent* owner);
  ~TWinInetControl() override;

  // ---- published ----
  TNotifyEvent OnConnected;
  TStateChangeEvent OnStateChange;

  int ConnectRetries();
  void SetConnectRetries(int value);
  int ConnectTimeout();
  void SetConnectTimeout(int value);
  bool EnableCache() const { return EnableCache_; }
  void SetEnableCache(bool value);
  std::string HostName;
  std::string UserName;
  std::string Password;
  int Port = 0;
  std::string ProxyName;
  const plat::TStringList& ProxyBypassList() const { return ProxyBypassList_; }
  void SetProxyBypassList(const plat::TStringList& list);
  bool QuickProgress = false;
  IProgressDisplay* QuickProgressMinor = nullptr;
  IStatusDisplay* QuickStatus = nullptr;
  TResolveNames ResolveNames() const { return ResolveNames_; }
  void SetResolveNames(TResolveNames value);
  bool SilentExceptions = true;
  // Declared here; the FTP component publishes them.
  TNotifyEvent OnDisconnected;
  IProgressDisplay* QuickProgressMajor = nullptr;
  ICaptionDisplay* QuickLabelMajor = nullptr;
  ICaptionDisplay* QuickLabelMinor = nullptr;

  // ---- public ----
  TWinInetState State() const { return State_; }
  std::string StateText() const;
  std::string LastResponseText() const;
  // Stops a blocked library call of this component: a worker closes the
  // handles; returns once it has finished.
  void Abort();

  virtual bool Connect();
  virtual bool Disconnect();

  // Called by the library's status callback (on the thread of the call).
  virtual void StatusChanged(plat::inet::DWORD Status, void* Info, plat::inet::DWORD InfoLength);

 protected:
  virtual void UpdateQuickProgress() = 0;
  virtual void RaiseConnectError(plat::inet::DWORD ErrorCode);

  bool SetState(TWinInetState NewState);
  // Closes the handle when set; the variable is cleared whatever happens.
  void CloseInetHandle(std::atomic<plat::inet::HINTERNET>& handle);
  void InstallStatusCallback();

  // True on the thread that made the component (the GUI thread).
  bool OnOwnerThread() const { return std::this_thread::get_id() == OwnerThread_; }
  // True while the destructor runs.
  bool BeingDestroyed() const { return Destroying() || Destroying_; }
  void MarkDestroying() { Destroying_ = true; }
  // Runs, on the GUI thread, the state changes that arrived on another
  // thread (the abort worker).
  void DeliverDeferred();

  std::atomic<plat::inet::HINTERNET> InetHandle_{0};
  plat::inet::DWORD FindFlags_ = plat::inet::INTERNET_FLAG_RELOAD;
  plat::inet::DWORD ConnectFlags_ = 0;

 private:
  enum class Deferred { State, DisconnectStep };
  struct DeferredItem {
    Deferred kind;
    TWinInetState state;
  };
  void Defer(Deferred kind, TWinInetState state);
  void DisconnectStep();

  int ConnectRetries_ = 3;
  plat::inet::DWORD AccessType_ = plat::inet::INTERNET_OPEN_TYPE_DIRECT;
  TResolveNames ResolveNames_ = rnLocal;
  int ConnectTimeout_ = 300000;
  TWinInetState State_ = isDisconnected;
  plat::TStringList ProxyBypassList_;
  bool EnableCache_ = false;
  bool Destroying_ = false;

  std::thread::id OwnerThread_;
  plat::ThreadQueueId OwnerQueue_ = 0;
  std::mutex DeferredMutex_;
  std::vector<DeferredItem> Deferred_;
  // Cleared by the destructor, so that a late hand-over finds nothing.
  std::shared_ptr<bool> Alive_ = std::make_shared<bool>(true);
};

// The library's status callback; the context is the component.
void InetStatusCallback(plat::inet::HINTERNET handle, plat::inet::DWORD_PTR context, plat::inet::DWORD status,
                        void* info, plat::inet::DWORD infoLength);
