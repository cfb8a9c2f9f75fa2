// The XML helper: the servers of a node as an XML text (the EnumerateServers
// listing). The caller hands views of its server records; the helper copies
// what it writes and keeps nothing.
//
//   <?xml version="1.0" encoding="UTF-8"?>
//   <Servers count="1">
//     <Server name="Plant A" dlgpService="PLANT_DLGP" dlgpPort="5001" histService="" histPort="0"
//             startup="Run" healthCheck="1" storeForward="1" storeFilePath="Default"
//             scannerPort="5002" storePort="5003" forwardPort="5004" user="" runStatus="2"
//             desiredState="2">
//       <Component name="Gateway" tcpService="PLANT_DLGP" tcpPort="5001"
//                  executable="%TELMOIO%\plant\asyncdlgp.exe" arguments="-TCPSERVICE PLANT_DLGP"
//                  runStatus="1"/>
//     </Server>
//   </Servers>
//
// Passwords are never written. Texts that are not valid UTF-8, and control
// characters other than the tab, are written as "?", so the text is always
// well-formed XML.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

/// What the helper reads of a component.
struct XmlComponentView {
  std::string_view name;
  std::string_view tcp_service;
  int tcp_port = 0;
  std::string_view executable;
  std::string_view arguments;
  int run_status = 0;
};

/// What the helper reads of a server.
struct XmlServerView {
  std::string_view name;
  std::string_view dlgp_service;
  int dlgp_port = 0;
  std::string_view hist_service;
  int hist_port = 0;
  int startup_status = 0;  ///< 1 "Run", else "DontRun"
  int health_check = 0;
  int snf_usage = 0;
  std::string_view store_file_path;
  int scanner_port = 0;
  int store_port = 0;
  int forward_port = 0;
  std::string_view username;
  int run_status = 0;
  int desired_state = 0;
  std::vector<XmlComponentView> components;
};

/// Writes the XML text of `servers` into `buffer`, followed by a NUL.
/// Returns 0 when it fits: `size` is then the length of the text (the NUL not
/// counted). Any other result means the buffer is too small: nothing usable
/// is in it and `size` holds the size wanted (the text and its NUL).
int TELMO_MGMT_ServersToXMLStream(std::span<char> buffer, std::size_t& size, std::span<const XmlServerView> servers);
