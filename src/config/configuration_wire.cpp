#include "config/configuration_wire.h"

namespace telmo::config {

ServerConfiguration ToConfiguration(const ServerRecord& record) {
  ServerConfiguration c;
  c.name = record.name;
  c.dlgp_service = record.dlgp_service;
  c.dlgp_port = record.dlgp_port;
  c.hist_service = record.hist_service;
  c.hist_port = record.hist_port;
  c.startup_status = record.startup_status;
  c.health_check = record.health_check;
  c.username = record.username;
  c.password = record.password;
  c.snf_usage = record.snf_usage;
  c.store_file_path = record.store_file_path;
  c.scanner_port = record.scanner_port;
  c.store_port = record.store_port;
  c.forward_port = record.forward_port;
  c.run_status = record.run_status;
  c.desired_state = record.desired_state;
  for (const auto& component : record.components) {
    if (!component) continue;
    c.components.push_back({component->name, component->tcp_service, component->tcp_port, component->executable,
                            component->arguments, component->built_in, component->generated, component->run_status,
                            component->conn_status});
  }
  return c;
}

std::unique_ptr<ServerRecord> FromConfiguration(const ServerConfiguration& c) {
  auto record = std::make_unique<ServerRecord>();
  record->name = c.name;
  record->dlgp_service = c.dlgp_service;
  record->dlgp_port = c.dlgp_port;
  record->hist_service = c.hist_service;
  record->hist_port = c.hist_port;
  record->startup_status = c.startup_status;
  record->health_check = c.health_check;
  record->username = c.username;
  record->password = c.password;
  record->snf_usage = c.snf_usage;
  record->store_file_path = c.store_file_path;
  record->scanner_port = c.scanner_port;
  record->store_port = c.store_port;
  record->forward_port = c.forward_port;
  record->run_status = c.run_status;
  record->desired_state = c.desired_state;
  record->components.reserve(c.components.size());
  for (const auto& k : c.components) {
    auto component = std::make_unique<ComponentRecord>();
    component->name = k.name;
    component->tcp_service = k.tcp_service;
    component->tcp_port = k.tcp_port;
    component->executable = k.executable;
    component->arguments = k.arguments;
    component->built_in = static_cast<BYTE>(k.built_in);
    component->generated = k.generated;
    component->run_status = k.run_status;
    component->conn_status = k.conn_status;
    record->components.push_back(std::move(component));
  }
  return record;
}

}  // namespace telmo::config
