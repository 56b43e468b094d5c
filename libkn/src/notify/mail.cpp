// E-mail alert settings: the shared record and the mail client's file.
#include "libkn/mail.h"

#include "libkn/conf.h"
#include "libkn/shm.h"

#include "core/byte_order.hpp"
#include "core/file_io.hpp"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

static_assert(sizeof(mail_config) == KN_MAIL_CONFIG_SIZE);
static_assert(offsetof(mail_config, user) == 0);
static_assert(offsetof(mail_config, server) == 64);
static_assert(offsetof(mail_config, password) == 128);
static_assert(offsetof(mail_config, recipient) == 160);
static_assert(offsetof(mail_config, reserved) == 480);
static_assert(offsetof(mail_config, active) == 768);
static_assert(offsetof(mail_config, port) == 776);
static_assert(offsetof(mail_config, reserved2) == 780);
static_assert(offsetof(mail_config, error_level) == 844);
static_assert(offsetof(mail_config, tls) == 848);
static_assert(offsetof(mail_config, auth) == 852);
static_assert(KN_SHM_MAIL_CONFIG_OFFSET + sizeof(mail_config) <=
              KN_SHM_MAIN_SIZE);

namespace
{

constexpr char separator = '=';
constexpr std::string_view tlsScheme = "smtps://";
constexpr std::string_view plainScheme = "smtp://";
constexpr uint32_t tlsPort = 465;
constexpr uint32_t plainPort = 25;
constexpr size_t authTestSize = 32;

// Integers of the record, at any address.
uint32_t getField(const mail_config* config, size_t offset)
{
    return kn::getLe32(reinterpret_cast<const uint8_t*>(config) + offset);
}

void setField(mail_config* config, size_t offset, uint32_t value)
{
    kn::putLe32(reinterpret_cast<uint8_t*>(config) + offset, value);
}

// A setting's trimmed value; nullopt when the line (or the file) is not
// there.
std::optional<std::string> setting(const char* path, const char* key)
{
    char value[1024];
    if (read_conf_value_safe(path, key, value, sizeof(value), separator) != 0)
    {
        return std::nullopt;
    }
    return std::string(value);
}

template <size_t N>
void store(char (&field)[N], std::string_view text)
{
    kn::copyText(field, N, text);
}

// The fields that the file sets; the reserved ranges stay.
void clearOwned(mail_config* config)
{
    std::memset(config->user, 0, sizeof(config->user));
    std::memset(config->server, 0, sizeof(config->server));
    std::memset(config->password, 0, sizeof(config->password));
    std::memset(config->recipient, 0, sizeof(config->recipient));
    std::memset(config->active, 0, sizeof(config->active));
    setField(config, offsetof(mail_config, port), 0);
    setField(config, offsetof(mail_config, error_level), 0);
    setField(config, offsetof(mail_config, tls), 0);
    setField(config, offsetof(mail_config, auth), 0);
}

// "smtp://server:port", "smtps://server:port" or "server:port".
void readServer(mail_config* config, std::string_view value)
{
    uint32_t tls = 0;
    if (value.substr(0, tlsScheme.size()) == tlsScheme)
    {
        tls = 1;
        value.remove_prefix(tlsScheme.size());
    }
    else if (value.substr(0, plainScheme.size()) == plainScheme)
    {
        value.remove_prefix(plainScheme.size());
    }
    size_t colon = value.find(':');
    store(config->server, value.substr(0, colon));
    uint32_t port = 0;
    if (colon != std::string_view::npos)
    {
        // The leading digits, as far as they fit.
        for (char c : value.substr(colon + 1))
        {
            if (c < '0' || c > '9' || port > (UINT32_MAX - 9) / 10)
            {
                break;
            }
            port = port * 10 + static_cast<uint32_t>(c - '0');
        }
    }
    if (port == 0)
    {
        port = tls != 0 ? tlsPort : plainPort;
    }
    setField(config, offsetof(mail_config, tls), tls);
    setField(config, offsetof(mail_config, port), port);
}

// Recipients separated by blanks; at most KN_MAIL_RECIPIENTS are kept.
void readRecipients(mail_config* config, std::string_view list)
{
    for (auto& entry : config->recipient)
    {
        size_t start = list.find_first_not_of(" \t");
        list.remove_prefix(start == std::string_view::npos ? list.size()
                                                           : start);
        size_t end = list.find_first_of(" \t");
        kn::copyText(entry, sizeof(entry), list.substr(0, end));
        if (end == std::string_view::npos)
        {
            break;
        }
        list.remove_prefix(end);
    }
}

std::string recipientList(const mail_config* config)
{
    std::string list = kn::rowText(config->recipient[0]);
    for (size_t i = 1; i < KN_MAIL_RECIPIENTS; ++i)
    {
        std::string next = kn::rowText(config->recipient[i]);
        if (next.empty())
        {
            break;
        }
        list += " " + next;
    }
    return list;
}

std::string serverValue(const mail_config* config)
{
    bool tls = getField(config, offsetof(mail_config, tls)) != 0;
    uint32_t port = getField(config, offsetof(mail_config, port));
    if (port == 0)
    {
        port = tls ? tlsPort : plainPort;
    }
    return std::string(tls ? tlsScheme : plainScheme) +
           kn::rowText(config->server) + ":" + std::to_string(port);
}

} // namespace

int read_email_config(const char* path, mail_config* config)
{
    const char* file = path != nullptr ? path : KN_MAIL_CONF;
    std::string content;
    // A file that is there but may not be read is no empty record: the
    // caller's record stays as it was.
    if (config == nullptr || !kn::pathExists(file) ||
        !kn::readFile(file, content))
    {
        return -1;
    }
    clearOwned(config);
    if (auto server = setting(file, "set smtp"))
    {
        readServer(config, *server);
    }

    std::string login =
        setting(file, "set smtp-auth").value_or("").substr(0, authTestSize - 1);
    store(config->user, setting(file, "set smtp-auth-user").value_or(""));
    store(config->password,
          setting(file, "set smtp-auth-password").value_or(""));
    bool auth = !login.empty() || config->user[0] != '\0' ||
                config->password[0] != '\0';
    if (!auth)
    {
        // Without a login the user and password are kept in comments.
        store(config->user, setting(file, "#set smtp-auth-user").value_or(""));
        store(config->password,
              setting(file, "#set smtp-auth-password").value_or(""));
    }
    setField(config, offsetof(mail_config, auth), auth ? 1 : 0);

    if (auto recipients = setting(file, "#user-recv"))
    {
        readRecipients(config, *recipients);
    }
    store(config->active, setting(file, "#active").value_or(""));
    if (auto level = setting(file, "#error-level"))
    {
        setField(config, offsetof(mail_config, error_level),
                 static_cast<uint32_t>(std::atoi(level->c_str())));
    }
    return 0;
}

int write_email_config(const char* path, const mail_config* config)
{
    const char* file = path != nullptr ? path : KN_MAIL_CONF;
    if (config == nullptr)
    {
        return -1;
    }
    // Created private before the first line, which may be the password.
    bool ok = kn::createPrivateFile(file);
    auto write = [&](const char* key, const std::string& value) {
        ok = write_conf_value_safe(file, key, value.c_str(), separator) == 0 &&
             ok;
    };
    auto remove = [&](const char* key) {
        ok = delete_conf_value_safe(file, key, separator) == 0 && ok;
    };

    write("set smtp", serverValue(config));
    const std::string user = kn::rowText(config->user);
    const std::string password = kn::rowText(config->password);
    if (getField(config, offsetof(mail_config, auth)) != 0)
    {
        remove("#set smtp-auth-user");
        remove("#set smtp-auth-password");
        write("set from", user);
        write("set smtp-auth", "login");
        write("set smtp-auth-user", user);
        write("set smtp-auth-password", password);
    }
    else
    {
        remove("set from");
        remove("set smtp-auth");
        remove("set smtp-auth-user");
        remove("set smtp-auth-password");
        write("#set smtp-auth-user", user);
        write("#set smtp-auth-password", password);
    }
    write("#user-recv", recipientList(config));
    write("#active", kn::rowText(config->active));
    write("#error-level",
          std::to_string(getField(config, offsetof(mail_config, error_level))));
    return ok ? 0 : -1;
}

mail_config* get_mail_config(void)
{
    auto* base = static_cast<uint8_t*>(get_shm_address());
    return base != nullptr ? reinterpret_cast<mail_config*>(
                                 base + KN_SHM_MAIL_CONFIG_OFFSET)
                           : nullptr;
}
