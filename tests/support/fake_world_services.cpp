// fake::World: the service control manager and the spooler service's states.
#include "support/fake_world.h"

#include "support/fake_world_internal.h"

namespace fake {

using namespace world_internal;

namespace {

// Fabricated handle values, each kind in a range of its own.
const auto kScm = reinterpret_cast<SC_HANDLE>(0x5C01);
const auto kSpoolerService = reinterpret_cast<SC_HANDLE>(0x5C02);

}  // namespace

void World::InstallServiceHooks() {
  World& w = *this;
  Handles& h = TheHandles();

  // --- service control manager ---------------------------------------------
  Set<&Platform::OpenSCManagerW>([&h](LPCWSTR, LPCWSTR, DWORD) {
    ++h.scm;
    return kScm;
  });
  Set<&Platform::OpenServiceW>([&h](SC_HANDLE scm, LPCWSTR name, DWORD) -> SC_HANDLE {
    if (scm != kScm || !h.scm) return Fail(ERROR_INVALID_HANDLE), nullptr;
    if (!SameText(Str(name), L"spooler")) return Fail(ERROR_SERVICE_DOES_NOT_EXIST), nullptr;
    ++h.services;
    return kSpoolerService;
  });
  Set<&Platform::CloseServiceHandle>([&h](SC_HANDLE handle) {
    int* open = handle == kScm ? &h.scm : handle == kSpoolerService ? &h.services : nullptr;
    if (!open || !*open) return Fail(ERROR_INVALID_HANDLE);
    --*open;
    return TRUE;
  });
  Set<&Platform::QueryServiceStatus>([&w](SC_HANDLE service, LPSERVICE_STATUS status) {
    if (service != kSpoolerService) return Fail(ERROR_INVALID_HANDLE);
    *status = SERVICE_STATUS{};
    status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status->dwCurrentState = w.spoolerRunning ? SERVICE_RUNNING : SERVICE_STOPPED;
    if (w.stopPollsLeft_ > 0) {
      --w.stopPollsLeft_;
      status->dwCurrentState = SERVICE_STOP_PENDING;
    }
    return TRUE;
  });
  Set<&Platform::ControlService>([&w](SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    if (service != kSpoolerService) return Fail(ERROR_INVALID_HANDLE);
    if (control != SERVICE_CONTROL_STOP) return Fail(ERROR_INVALID_SERVICE_CONTROL);
    if (!w.spoolerRunning) return Fail(ERROR_SERVICE_NOT_ACTIVE);
    if (!w.spoolerRefusesStop) {
      w.spoolerRunning = false;
      w.FlushSpooler();
      w.lingeringModules.clear();
      w.stopPollsLeft_ = w.spoolerStopPolls;
    }
    if (status) {
      *status = SERVICE_STATUS{};
      status->dwCurrentState =
          w.spoolerRunning || w.stopPollsLeft_ > 0 ? SERVICE_STOP_PENDING : SERVICE_STOPPED;
    }
    return TRUE;
  });
  Set<&Platform::StartServiceW>([&w](SC_HANDLE service, DWORD, LPCWSTR*) {
    if (service != kSpoolerService) return Fail(ERROR_INVALID_HANDLE);
    if (w.spoolerRunning) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    if (!w.spoolerRefusesStart) w.spoolerRunning = true;
    w.stopPollsLeft_ = 0;
    return TRUE;
  });
}

}  // namespace fake
