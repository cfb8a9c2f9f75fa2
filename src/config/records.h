// The records of the server configuration database: a server and its
// components, and the store-and-forward parameters of a server file.
//
// These are our own types. The byte layouts of the messaging library's records
// bind only where the real library is called; texts here are std::string (the
// heap texts) or telmo::Text32 (the 32-byte service names, at most 31
// characters).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "external/telmo_config.h"
#include "platform/win_types.h"
#include "util/fixed_text.h"

/// The store-and-forward parameters of line 4 of a server file. Each text
/// holds at most 15 characters; "Default" means the process's own default.
/// A block built by default has empty texts and the integers 72 and 0 (the
/// loader's starting point); AllDefault() has the seven texts "Default" (the
/// writer's starting point).
/// The block is the messaging library's own, which parses S&F arguments
/// into it.
struct SnfParameters : SnfOptions {
  [[nodiscard]] static SnfParameters AllDefault() {
    SnfParameters p;
    for (auto* t : {&p.forward_timeout, &p.forward_msgs, &p.store_timeout, &p.store_notaginfo, &p.scanner_timeout,
                    &p.scanner_notaginfo, &p.scanner_device}) {
      t->assign("Default");
    }
    return p;
  }
  friend bool operator==(const SnfParameters&, const SnfParameters&) = default;
};

/// One process of a server: the DLGP, an S&F process, an OPC UA process, or
/// any further process named in the server file.
struct ComponentRecord {
  std::string name;           ///< e.g. "Scanner process"
  telmo::Text32 tcp_service;  ///< may be empty
  int tcp_port = 0;
  std::string executable;     ///< unexpanded: may hold %NAME% references
  std::string arguments;
  BYTE built_in = 0;          ///< 1 for the components the manager adds itself
  int generated = 0;          ///< not 0: never written to a server file
  int run_status = 0;         ///< 0 not running, 1 running, 2 no TCP service to probe
  int conn_status = 0;        ///< last CONNSTATUS the component reported
  int restarts = 0;           ///< restarts by the periodic check since the manager started
};

/// One configured server. It owns its components; `components` is in the
/// order the rest of the manager relies on: the components of the file in file
/// order (the first is the DLGP), then the three OPC UA components when the
/// DLGP is the OPC UA DLGP, last the three S&F components when `snf_usage` is 1.
/// An entry may be null (a component that could not be built); every walk
/// skips null entries.
struct ServerRecord {
  std::string name;
  telmo::Text32 dlgp_service;  ///< the key of the table; also the server file's name
  int dlgp_port = 0;
  telmo::Text32 hist_service;  ///< empty when the server has no historical DLGP
  int hist_port = 0;
  int startup_status = 0;      ///< 1 "Run", 0 "DontRun"
  int health_check = 0;        ///< 0 off, above 0 on
  std::string username;        ///< "user" or "domain\user"; may be empty
  std::string password;        ///< in clear in memory; base64 in the file
  int snf_usage = 0;           ///< 1 "StoreForward", 0 "NoStoreForward"
  std::string store_file_path;
  int scanner_port = 0;
  int store_port = 0;
  int forward_port = 0;
  int run_status = 0;          ///< 0 none running, 1 some, 2 all
  int desired_state = 0;       ///< 2 started by the manager, 0 stopped
  std::vector<std::unique_ptr<ComponentRecord>> components;
  int component_cursor = 0;    ///< index of the component iterator; -1 before the first
  /// The server file the record was loaded from, the file it is written back
  /// to; empty for a record built otherwise.
  std::string server_file;
  /// The store-and-forward options of line 4 as loaded, from which the S&F
  /// components' arguments were built; nullopt for a record built otherwise
  /// (its writer reads them back from those arguments).
  std::optional<SnfParameters> snf;

  /// Number of entries of `components` (null entries included).
  [[nodiscard]] int component_count() const noexcept { return static_cast<int>(components.size()); }
  /// The DLGP: the first entry of `components`, null when there is none.
  [[nodiscard]] ComponentRecord* first_component() const noexcept {
    return components.empty() ? nullptr : components.front().get();
  }
};

inline constexpr int kDesiredStateStarted = 2;
inline constexpr int kDesiredStateStopped = 0;

inline constexpr int kDefaultMaxTimeInQueue = 72;
inline constexpr int kDefaultMaxQueueFileSize = 0;
