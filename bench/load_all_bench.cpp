// Start-up load of the server table: load all over 1000 server files of a
// temporary management directory, a third each plain with S&F, OPC UA, and
// asynchronous (with watchdog registration).
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>

#include "config/server_file.h"
#include "config/server_table.h"
#include "config/watchdog_table.h"

namespace {

namespace fs = std::filesystem;

std::string FileFor(int i) {
  const std::string service = "PLANT" + std::to_string(i);
  std::string text = "Plant unit " + std::to_string(i) + "^; hall B," + service + ",HIST" + std::to_string(i) + "\n";
  text += "Run,PLANTDOM\\operator,c2VjcmV0\n1\n";
  switch (i % 3) {
    case 0:
      text += "StoreForward,D:\\sfdata\\" + service + ",10,20,30,40,,1,1,100,5000\n1\n";
      text += "DLGP," + service + ",%TELMOIO%\\modbus_dlgp.exe,-TCPSERVICE " + service + " -PORT 502\n";
      break;
    case 1:
      text += "NoStoreForward,,,,,,,,,,\n1\n";
      text += "UA DLGP," + service + ",%TELMOIO%\\tlo_opc_uai\\telmo_opcua_dlgp.exe,-TCPSERVICE " + service +
              " -OPCSERVER opc.tcp://host:4840\n";
      break;
    default:
      text += "# asynchronous DLGP with watchdog\nStoreForward,,,,,,,,,,\n1\n";
      text += "DLGP," + service + ",%TELMOIO%\\telmo_asyncdlgp.exe,-TCPSERVICE " + service +
              " -OPCSERVER Vendor.Server.1 -WATCHDOGTAG \"Area 1.WD" + std::to_string(i) +
              "\" -WATCHDOGTIMEOUT 300\n";
      break;
  }
  return text;
}

class Node {
 public:
  explicit Node(int files) {
    std::string dir = (fs::temp_directory_path() / "telmo-bench-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) std::abort();
    root_ = dir;
    fs::create_directories(root_ / "mgmt");
    fs::create_directories(root_ / "log");
    ::setenv("TELMO_STATE_DIR", root_.c_str(), 1);
    ::setenv("TELMO_LOG_DIR", (root_ / "log").c_str(), 1);
    ::setenv("TELMOMGMT", (root_ / "mgmt").c_str(), 1);
    ::unsetenv("TELMO_DIAG");
    for (int i = 0; i < files; ++i) {
      std::ofstream(root_ / "mgmt" / ("PLANT" + std::to_string(i) + ".csd")) << FileFor(i);
    }
  }
  ~Node() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

 private:
  fs::path root_;
};

void BM_LoadAll(benchmark::State& state) {
  const int files = static_cast<int>(state.range(0));
  Node node(files);
  ServerTable table;
  StatusBlock status;
  if (!table.mutex.Create(status)) state.SkipWithError("no mutex");
  for (auto _ : state) {
    WatchdogTable watchdogs;
    telmo::config::LoadAll(table, status, watchdogs);
    if (static_cast<int>(table.size()) != files) state.SkipWithError("not every file loaded");
    state.PauseTiming();
    (void)table.TakeAll();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * files);
}
BENCHMARK(BM_LoadAll)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
