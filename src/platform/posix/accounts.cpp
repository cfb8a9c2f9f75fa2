// LogonUserA through PAM. The account must exist in the local user database
// (getpwnam_r) before PAM is asked; PAM then authenticates the password
// ("auth") and checks the account ("account") with the service "telmo".
//
// What does not map: Windows domains. Domain "." (or empty, or the node name,
// letter case ignored) means this node's accounts; any other domain fails with
// ERROR_NO_SUCH_DOMAIN, which tells the operator more than a bare logon failure.
// Logon types other than interactive, network, batch and service, or a provider
// other than the default, are refused with ERROR_INVALID_PARAMETER.
//
// The password is never logged. Our copies of it are wiped before they are
// freed; the copy handed to PAM in the conversation is PAM's to wipe and free.
#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/accounts.h"
#include "platform/environment.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace telmo::platform::detail {
namespace {

constexpr DWORD kLogonNetwork = 3;
constexpr DWORD kLogonBatch = 4;

// A NUL-terminated copy of a secret, wiped when it goes. Its size is fixed at
// construction, so no reallocation ever leaves a copy behind.
class SecretText {
 public:
  explicit SecretText(std::string_view text) : bytes_(text.size() + 1, '\0') {
    text.copy(bytes_.data(), text.size());
  }
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  ~SecretText() { ::explicit_bzero(bytes_.data(), bytes_.size()); }
  [[nodiscard]] const char* c_str() const noexcept { return bytes_.data(); }

 private:
  std::vector<char> bytes_;
};

struct Conversation {
  const char* user;
  const char* password;
};

// Answers PAM's prompts: the password to hidden prompts, the user name to
// visible ones, nothing to messages. The answers are malloc'ed: PAM frees them.
int Converse(int count, const struct pam_message** messages, struct pam_response** responses,
                        void* data) {
  if (count <= 0 || messages == nullptr || responses == nullptr || data == nullptr) return PAM_CONV_ERR;
  const auto* conversation = static_cast<const Conversation*>(data);
  auto* answers = static_cast<pam_response*>(std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
  if (answers == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    const char* text = nullptr;
    switch (messages[i]->msg_style) {
      case PAM_PROMPT_ECHO_OFF: text = conversation->password; break;
      case PAM_PROMPT_ECHO_ON: text = conversation->user; break;
      case PAM_ERROR_MSG:
      case PAM_TEXT_INFO: continue;
      default: text = nullptr; break;
    }
    char* copy = text != nullptr ? ::strdup(text) : nullptr;
    if (copy == nullptr) {
      for (int j = 0; j < i; ++j) {
        if (answers[j].resp != nullptr) {
          ::explicit_bzero(answers[j].resp, std::strlen(answers[j].resp));
          std::free(answers[j].resp);
        }
      }
      std::free(answers);
      return text != nullptr ? PAM_BUF_ERR : PAM_CONV_ERR;
    }
    answers[i].resp = copy;
  }
  *responses = answers;
  return PAM_SUCCESS;
}

struct PamEnd {
  int* status;
  void operator()(pam_handle_t* handle) const noexcept { ::pam_end(handle, *status); }
};

bool IsLocalDomain(std::string_view domain) {
  if (domain.empty() || domain == ".") return true;
  const auto node = LookupConfig("TELMO_NODE");
  return node && EqualsIgnoreCase(domain, *node);
}

struct Account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;
};

std::optional<Account> FindAccount(const std::string& user) {
  long size_hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size_hint > 0 ? static_cast<std::size_t>(size_hint) : 4096);
  passwd entry{};
  passwd* found = nullptr;
  int rc = 0;
  while ((rc = ::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (rc != 0 || found == nullptr) return std::nullopt;
  return Account{found->pw_name, found->pw_uid, found->pw_gid, found->pw_dir ? found->pw_dir : ""};
}

std::vector<std::uint32_t> GroupsOf(const Account& account) {
  int count = 32;
  std::vector<gid_t> groups;
  for (int attempt = 0; attempt < 8; ++attempt) {
    groups.resize(static_cast<std::size_t>(count));
    int n = count;
    if (::getgrouplist(account.name.c_str(), account.gid, groups.data(), &n) >= 0) {
      groups.resize(static_cast<std::size_t>(n));
      return {groups.begin(), groups.end()};
    }
    count = n > count ? n : count * 2;
  }
  return {static_cast<std::uint32_t>(account.gid)};
}

// libpam leaks its handle when a directory given to pam_start_confdir holds
// neither the service's file nor "other"; such a stack refuses anyway.
bool HasServiceFile(const std::string& confdir, const std::string& service) {
  const auto present = [&](const std::string& name) { return ::access((confdir + "/" + name).c_str(), R_OK) == 0; };
  return service.find('/') == std::string::npos && (present(service) || present("other"));
}

// PAM's verdict on the user and password: true when both "auth" and "account" pass.
bool PamAccepts(const std::string& user, std::string_view password) {
  const std::string service = LookupEnvironment("TELMO_PAM_SERVICE").value_or("telmo");
  const std::optional<std::string> confdir = LookupEnvironment("TELMO_PAM_CONFDIR");
  if (confdir && !confdir->empty() && !HasServiceFile(*confdir, service)) return false;
  const SecretText secret(password);
  Conversation conversation{user.c_str(), secret.c_str()};
  const pam_conv conv{Converse, &conversation};

  pam_handle_t* raw = nullptr;
  int status = confdir && !confdir->empty()
                   ? ::pam_start_confdir(service.c_str(), user.c_str(), &conv, confdir->c_str(), &raw)
                   : ::pam_start(service.c_str(), user.c_str(), &conv, &raw);
  if (status != PAM_SUCCESS || raw == nullptr) return false;
  const std::unique_ptr<pam_handle_t, PamEnd> handle(raw, PamEnd{&status});
  status = ::pam_authenticate(raw, PAM_SILENT);
  if (status != PAM_SUCCESS) return false;
  status = ::pam_acct_mgmt(raw, PAM_SILENT);
  return status == PAM_SUCCESS;
}

}  // namespace
}  // namespace telmo::platform::detail

BOOL LogonUserA(std::string_view user, std::string_view domain, std::string_view password, DWORD logon_type,
                DWORD logon_provider, TokenHandle& token) {
  using namespace telmo::platform::detail;
  token.reset();
  const bool known_type = logon_type == LOGON32_LOGON_INTERACTIVE || logon_type == kLogonNetwork ||
                          logon_type == kLogonBatch || logon_type == LOGON32_LOGON_SERVICE;
  if (!known_type || logon_provider != LOGON32_PROVIDER_DEFAULT) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!IsLocalDomain(domain)) {
    SetLastError(ERROR_NO_SUCH_DOMAIN);
    return FALSE;
  }
  // An unknown account fails like a wrong password: nothing tells which it was.
  const std::string name(user);
  const std::optional<Account> account =
      name.empty() || name.find('\0') != std::string::npos ? std::nullopt : FindAccount(name);
  if (!account || !PamAccepts(account->name, password)) {
    SetLastError(ERROR_LOGON_FAILURE);
    return FALSE;
  }
  auto result = std::make_unique<AccessToken>();
  result->user = account->name;
  result->uid = account->uid;
  result->gid = account->gid;
  result->groups = GroupsOf(*account);
  result->home = account->home;
  token = std::move(result);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

namespace telmo::platform {

std::string CurrentUserName() {
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr && pw.pw_name) {
    return std::string(pw.pw_name);
  }
  return std::string();
}

}  // namespace telmo::platform
