#include <pugixml.hpp>

#include <algorithm>
#include <cstring>
#include <string>

#include "external/telmo_xml.h"

namespace {

// The length of the valid UTF-8 sequence at the start of `s`, 0 when it is not one.
std::size_t Utf8Sequence(std::string_view s) noexcept {
  const auto b0 = static_cast<unsigned char>(s[0]);
  std::size_t n = 0;
  unsigned min = 0;
  unsigned cp = 0;
  if (b0 < 0x80) return 1;
  if ((b0 & 0xE0) == 0xC0) { n = 2; cp = b0 & 0x1Fu; min = 0x80; }
  else if ((b0 & 0xF0) == 0xE0) { n = 3; cp = b0 & 0x0Fu; min = 0x800; }
  else if ((b0 & 0xF8) == 0xF0) { n = 4; cp = b0 & 0x07u; min = 0x10000; }
  else return 0;
  if (s.size() < n) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) return 0;
  return n;
}

// The text as XML can carry it, in `out`: valid UTF-8 without control
// characters.
void XmlText(std::string_view s, std::string& out) {
  out.clear();
  while (!s.empty()) {
    const std::size_t n = Utf8Sequence(s);
    const auto c = static_cast<unsigned char>(s[0]);
    if (n == 0 || (n == 1 && ((c < 0x20 && c != '\t') || c == 0x7F))) {
      out += '?';
      s.remove_prefix(1);
      continue;
    }
    out.append(s.substr(0, n));
    s.remove_prefix(n);
  }
}

void Text(pugi::xml_node node, const char* name, std::string_view value) {
  thread_local std::string text;  // one buffer for every attribute of a listing
  XmlText(value, text);
  node.append_attribute(name).set_value(text.data(), text.size());
}

void Number(pugi::xml_node node, const char* name, int value) { node.append_attribute(name).set_value(value); }

/// Writes into the caller's buffer while the text fits, and counts on past
/// its end, so a buffer that is large enough costs no copy of the text.
class SpanWriter : public pugi::xml_writer {
 public:
  explicit SpanWriter(std::span<char> out) : out_(out) {}
  void write(const void* data, std::size_t size) override {
    if (used_ <= out_.size() && size <= out_.size() - used_) {
      std::memcpy(out_.data() + used_, data, size);
    }
    used_ += size;
  }
  [[nodiscard]] std::size_t used() const { return used_; }

 private:
  std::span<char> out_;
  std::size_t used_ = 0;
};

}  // namespace

int TELMO_MGMT_ServersToXMLStream(std::span<char> buffer, std::size_t& size, std::span<const XmlServerView> servers) {
  pugi::xml_document document;
  auto declaration = document.append_child(pugi::node_declaration);
  declaration.append_attribute("version").set_value("1.0");
  declaration.append_attribute("encoding").set_value("UTF-8");
  auto root = document.append_child("Servers");
  Number(root, "count", static_cast<int>(servers.size()));
  for (const XmlServerView& server : servers) {
    auto node = root.append_child("Server");
    Text(node, "name", server.name);
    Text(node, "dlgpService", server.dlgp_service);
    Number(node, "dlgpPort", server.dlgp_port);
    Text(node, "histService", server.hist_service);
    Number(node, "histPort", server.hist_port);
    Text(node, "startup", server.startup_status == 1 ? "Run" : "DontRun");
    Number(node, "healthCheck", server.health_check);
    Number(node, "storeForward", server.snf_usage);
    Text(node, "storeFilePath", server.store_file_path);
    Number(node, "scannerPort", server.scanner_port);
    Number(node, "storePort", server.store_port);
    Number(node, "forwardPort", server.forward_port);
    Text(node, "user", server.username);
    Number(node, "runStatus", server.run_status);
    Number(node, "desiredState", server.desired_state);
    for (const XmlComponentView& component : server.components) {
      auto child = node.append_child("Component");
      Text(child, "name", component.name);
      Text(child, "tcpService", component.tcp_service);
      Number(child, "tcpPort", component.tcp_port);
      Text(child, "executable", component.executable);
      Text(child, "arguments", component.arguments);
      Number(child, "runStatus", component.run_status);
    }
  }
  SpanWriter writer(buffer);
  document.save(writer, "  ", pugi::format_default, pugi::encoding_utf8);
  if (writer.used() + 1 > buffer.size()) {
    size = writer.used() + 1;
    return 1;
  }
  buffer[writer.used()] = '\0';
  size = writer.used();
  return 0;
}
