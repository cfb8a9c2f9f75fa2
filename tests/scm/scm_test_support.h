// Helpers shared by the service control manager tests.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/process.h"
#include "platform/scm.h"
#include "platform/win_error.h"
#include "support/test_env.h"

namespace telmo::test {

inline SC_HANDLE OpenManager() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  EXPECT_TRUE(manager) << GetLastError();
  return manager;
}

/// Installs an automatic own-process service; the handle is NULL on failure.
inline SC_HANDLE Install(const SC_HANDLE& manager, const std::string& name, const std::string& binary,
                         const char* account = nullptr, const char* dependencies = "LanmanServer\0") {
  return CreateServiceA(manager, name.c_str(), (name + " display").c_str(), SERVICE_ALL_ACCESS,
                        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binary.c_str(), nullptr,
                        nullptr, dependencies, account, account != nullptr ? "secret" : nullptr);
}

inline SERVICE_STATUS_PROCESS StatusOf(const SC_HANDLE& service) {
  SERVICE_STATUS_PROCESS s;
  DWORD needed = 0;
  EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s, &needed))
      << GetLastError();
  return s;
}

/// Polls until `done` holds (bounded); returns whether it did.
inline bool Eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

inline bool WaitForState(const SC_HANDLE& service, DWORD state,
                         std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  return Eventually([&] { return StatusOf(service).dwCurrentState == state; }, limit);
}

/// The binary path of the fake service program with its options.
inline std::string FakeServiceCommand(const std::string& options = "") {
  std::string command = platform::QuoteArgument(BuiltProgram("fake_service").string());
  if (!options.empty()) command += " " + options;
  return command;
}

/// The reports of one source ("service", "start", ...), oldest first.
inline std::vector<platform::ServiceStatusReport> HistoryFrom(const std::string& name, const std::string& source) {
  std::vector<platform::ServiceStatusReport> out;
  for (auto& r : platform::ReadServiceHistory(name)) {
    if (r.source == source) out.push_back(r);
  }
  return out;
}

}  // namespace telmo::test
