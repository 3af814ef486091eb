#include "ftpcomponents/WinInetControl.h"

#include <utility>

#include "platform/ui/dialogs.h"

using namespace plat::inet;

// ---- the abort worker ---------------------------------------------------------------

TInetAbortThread::TInetAbortThread(TWinInetControl* control) : Control_(control) {}

TInetAbortThread::~TInetAbortThread() { WaitFor(); }

void TInetAbortThread::Resume() {
  if (!Thread_.joinable()) Thread_ = std::thread([this] { Execute(); });
}

void TInetAbortThread::WaitFor() {
  if (Thread_.joinable()) Thread_.join();
}

void TInetAbortThread::Execute() {
  try {
    Control_->Disconnect();
  } catch (...) {
    // Nothing on this thread could report it; the handles are cleared anyway.
  }
}

// ---- the status callback ----------------------------------------------------------------

void InetStatusCallback(HINTERNET /*handle*/, DWORD_PTR context, DWORD status, void* info, DWORD infoLength) {
  auto* control = reinterpret_cast<TWinInetControl*>(context);
  if (!control) return;
  try {
    control->StatusChanged(status, info, infoLength);
  } catch (const std::exception& e) {
    // An event handler failed inside a library call: show it as the message
    // loop would, and let the call go on.
    plat::ShowApplicationException(e);
  } catch (...) {
    plat::ShowApplicationError("Unknown error in a status notification");
  }
}

// ---- the component -----------------------------------------------------------------------

TWinInetControl::TWinInetControl(plat::TComponent* owner)
    : plat::TComponent(owner), OwnerThread_(std::this_thread::get_id()), OwnerQueue_(plat::CurrentThreadQueue()) {
  SetResolveNames(rnLocal);
}

TWinInetControl::~TWinInetControl() {
  MarkDestroying();
  try {
    TWinInetControl::Disconnect();
  } catch (...) {
  }
  *Alive_ = false;
}

int TWinInetControl::ConnectRetries() {
  HINTERNET h = InetHandle_.load();
  if (!h) return ConnectRetries_;
  DWORD v = 0, len = sizeof v;
  if (!InternetQueryOptionA(h, INTERNET_OPTION_CONNECT_RETRIES, &v, &len)) return 3;
  return static_cast<int>(v);
}

void TWinInetControl::SetConnectRetries(int value) {
  ConnectRetries_ = value;
  HINTERNET h = InetHandle_.load();
  if (h) {
    DWORD v = static_cast<DWORD>(ConnectRetries_);
    InternetSetOptionA(h, INTERNET_OPTION_CONNECT_RETRIES, &v, sizeof v);
  }
}

int TWinInetControl::ConnectTimeout() {
  HINTERNET h = InetHandle_.load();
  if (!h) return ConnectTimeout_;
  DWORD v = 0, len = sizeof v;
  if (!InternetQueryOptionA(h, INTERNET_OPTION_CONNECT_TIMEOUT, &v, &len)) return 300000;
  return static_cast<int>(v);
}

void TWinInetControl::SetConnectTimeout(int value) {
  ConnectTimeout_ = value == 0 ? 300000 : value;
  HINTERNET h = InetHandle_.load();
  if (h) {
    DWORD v = static_cast<DWORD>(ConnectTimeout_);
    InternetSetOptionA(h, INTERNET_OPTION_CONNECT_TIMEOUT, &v, sizeof v);
  }
}

void TWinInetControl::SetEnableCache(bool value) {
  EnableCache_ = value;
  if (value)
    FindFlags_ &= ~INTERNET_FLAG_RELOAD;
  else
    FindFlags_ |= INTERNET_FLAG_RELOAD;
}

void TWinInetControl::SetProxyBypassList(const plat::TStringList& list) {
  ProxyBypassList_.Clear();
  for (int i = 0; i < list.Count(); ++i) ProxyBypassList_.Add(list.Strings(i));
}

void TWinInetControl::SetResolveNames(TResolveNames value) {
  ResolveNames_ = value;
  switch (value) {
    case rnLocal: AccessType_ = INTERNET_OPEN_TYPE_DIRECT; break;
    case rnPreConfig: AccessType_ = INTERNET_OPEN_TYPE_PRECONFIG; break;
    case rnProxy: AccessType_ = INTERNET_OPEN_TYPE_PROXY; break;
  }
}

std::string TWinInetControl::StateText() const {
  switch (State_) {
    case isDisconnecting: return plat::Format("Disconnecting from %s", HostName.c_str());
    case isDisconnected: return "No connection";
    case isConnecting: return plat::Format("Connecting to %s", HostName.c_str());
    case isConnected: return plat::Format("Connected to %s", HostName.c_str());
    case isResolving: return plat::Format("Resolving name %s", HostName.c_str());
    case isResolved: return plat::Format("Resolved name %s", HostName.c_str());
  }
  return "Unknown state!  Contact support ...";
}

std::string TWinInetControl::LastResponseText() const {
  std::string buf(1024, '\0');
  DWORD error = 0, len = static_cast<DWORD>(buf.size());
  bool ok = InternetGetLastResponseInfoA(&error, buf.data(), &len);
  if (!ok && plat::inet::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    // A long banner is shown whole.
    buf.assign(len, '\0');
    len = static_cast<DWORD>(buf.size());
    ok = InternetGetLastResponseInfoA(&error, buf.data(), &len);
  }
  if (!ok) return "No error description available";
  std::string text(buf.c_str());
  return text.empty() ? std::string("No error description available") : text;
}

bool TWinInetControl::SetState(TWinInetState NewState) {
  if (!OnOwnerThread()) {
    // The abort worker: the GUI thread applies it.
    Defer(Deferred::State, NewState);
    return false;
  }
  if (NewState == State_) return false;
  State_ = NewState;
  if (OnStateChange) OnStateChange(this, NewState);
  if (QuickProgress && QuickStatus) {
    if (QuickStatus->SimplePanel())
      QuickStatus->SetSimpleText(StateText());
    else if (QuickStatus->PanelCount() > 0)
      QuickStatus->SetPanelText(0, StateText());
  }
  return true;
}

void TWinInetControl::Defer(Deferred kind, TWinInetState state) {
  if (BeingDestroyed()) return;
  {
    std::lock_guard<std::mutex> lock(DeferredMutex_);
    Deferred_.push_back(DeferredItem{kind, state});
  }
  std::shared_ptr<bool> alive = Alive_;
  plat::RunOnThread(OwnerQueue_, [alive, this] {
    if (!*alive) return;
    try {
      DeliverDeferred();
    } catch (const std::exception& e) {
      plat::ShowApplicationException(e);
    }
  });
}

void TWinInetControl::DeliverDeferred() {
  std::vector<DeferredItem> items;
  {
    std::lock_guard<std::mutex> lock(DeferredMutex_);
    items.swap(Deferred_);
  }
  for (const DeferredItem& item : items) {
    if (BeingDestroyed()) return;
    if (item.kind == Deferred::State)
      SetState(item.state);
    else
      DisconnectStep();
  }
}

void TWinInetControl::CloseInetHandle(std::atomic<HINTERNET>& handle) {
  HINTERNET h = handle.exchange(0);
  if (h) InternetCloseHandle(h);
}

void TWinInetControl::InstallStatusCallback() {
  HINTERNET h = InetHandle_.load();
  if (h) InternetSetStatusCallback(h, InetStatusCallback);
}

bool TWinInetControl::Connect() {
  if (State_ == isConnected) return true;
  if (!InetHandle_.load()) {
    const std::string bypass = ProxyBypassList_.Text();
    const std::string agent = plat::ApplicationTitle();
    InetHandle_.store(InternetOpenA(agent.c_str(), AccessType_, ResolveNames_ == rnProxy ? ProxyName.c_str() : nullptr,
                                    bypass.c_str(), 0));
  }
  InstallStatusCallback();
  SetConnectRetries(ConnectRetries_);
  SetConnectTimeout(ConnectTimeout_);
  return false;
}

void TWinInetControl::DisconnectStep() {
  if (SetState(isDisconnected) && OnDisconnected) OnDisconnected(this);
}

bool TWinInetControl::Disconnect() {
  CloseInetHandle(InetHandle_);
  if (!BeingDestroyed()) {
    if (OnOwnerThread())
      DisconnectStep();
    else
      Defer(Deferred::DisconnectStep, isDisconnected);
  }
  return true;
}

void TWinInetControl::Abort() {
  {
    TInetAbortThread worker(this);
    worker.Resume();
    worker.WaitFor();
  }
  // What the worker's close changed is shown now, not at the next pump.
  if (!BeingDestroyed()) DeliverDeferred();
}

void TWinInetControl::StatusChanged(DWORD Status, void* /*Info*/, DWORD /*InfoLength*/) {
  switch (Status) {
    case INTERNET_STATUS_RESOLVING_NAME: SetState(isResolving); break;
    case INTERNET_STATUS_NAME_RESOLVED: SetState(isResolved); break;
    case INTERNET_STATUS_CONNECTING_TO_SERVER: SetState(isConnecting); break;
    case INTERNET_STATUS_CONNECTED_TO_SERVER: SetState(isConnected); break;
    case INTERNET_STATUS_CLOSING_CONNECTION: SetState(isDisconnecting); break;
    case INTERNET_STATUS_CONNECTION_CLOSED: SetState(isDisconnected); break;
    default: break;
  }
}

void TWinInetControl::RaiseConnectError(DWORD ErrorCode) {
  SetState(isDisconnected);
  if (SilentExceptions) return;
  const char* host = HostName.c_str();
  switch (ErrorCode) {
    case ERROR_INTERNET_TIMEOUT: throw EWinInetError(plat::Format("Connection to %s timed out", host));
    case ERROR_INTERNET_INTERNAL_ERROR: throw EWinInetError("Internal WININET error");
    case ERROR_INTERNET_NAME_NOT_RESOLVED: throw EWinInetError(plat::Format("Unable to resolve host name '%s'", host));
    case ERROR_INTERNET_INCORRECT_USER_NAME:
      throw EWinInetError(plat::Format("Bad user name: '%s' connecting to %s", UserName.c_str(), host));
    case ERROR_INTERNET_INCORRECT_PASSWORD: throw EWinInetError(plat::Format("Bad password connecting to %s", host));
    case ERROR_INTERNET_LOGIN_FAILURE:
    case ERROR_INTERNET_CANNOT_CONNECT: throw EWinInetError(plat::Format("Unable to connect to %s", host));
    default: throw EWinInetError(plat::Format("General Connection Error to %s", host));
  }
}
