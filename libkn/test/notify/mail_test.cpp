// E-mail settings: the record and the mail client's file, in a private
// temporary folder.
#include "libkn/mail.h"

#include "files.hpp"

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using kntest::readText;
using kntest::statOf;
using kntest::writeText;

class Mail : public kntest::FolderTest
{
  protected:
    Mail() : FolderTest("libkn-mail") {}

    // A record read from a file of these lines.
    mail_config readLines(const std::string& lines)
    {
        writeText(file, lines);
        mail_config config{};
        EXPECT_EQ(read_email_config(file.c_str(), &config), 0);
        return config;
    }

    static mail_config record()
    {
        mail_config config{};
        std::strcpy(config.user, "bmc@example.com");
        std::strcpy(config.server, "mail.example.com");
        std::strcpy(config.password, "p4ss word");
        std::strcpy(config.recipient[0], "ops@example.com");
        std::strcpy(config.recipient[1], "lab@example.com");
        std::strcpy(config.active, "1");
        config.error_level = 3;
        config.tls = 1;
        config.auth = 1;
        return config;
    }

    std::string file = path("nail.rc");
};

TEST_F(Mail, ServerSchemesAndDefaultPorts)
{
    mail_config config = readLines("set smtp=smtps://mail.example.com:0\n");
    EXPECT_STREQ(config.server, "mail.example.com");
    EXPECT_EQ(config.tls, 1u);
    EXPECT_EQ(config.port, 465u);
    config = readLines("set smtp=smtp://10.0.0.5\n");
    EXPECT_STREQ(config.server, "10.0.0.5");
    EXPECT_EQ(config.tls, 0u);
    EXPECT_EQ(config.port, 25u);
    config = readLines("set smtp = relay:2525 \n");
    EXPECT_STREQ(config.server, "relay");
    EXPECT_EQ(config.tls, 0u);
    EXPECT_EQ(config.port, 2525u);

    // A record with TLS and no port is written with 465.
    mail_config out = record();
    out.port = 0;
    EXPECT_EQ(write_email_config(file.c_str(), &out), 0);
    EXPECT_NE(readText(file).find("set smtp=smtps://mail.example.com:465\n"),
              std::string::npos);
}

TEST_F(Mail, RecipientsSplitOnBlanks)
{
    mail_config config =
        readLines("#user-recv=a@x  b@x   c@x d@x     e@x f@x\n");
    const char* expected[] = {"a@x", "b@x", "c@x", "d@x", "e@x"};
    for (int i = 0; i < KN_MAIL_RECIPIENTS; ++i)
    {
        EXPECT_STREQ(config.recipient[i], expected[i]);
    }
    config = readLines("#user-recv=only@x\n");
    EXPECT_STREQ(config.recipient[0], "only@x");
    EXPECT_STREQ(config.recipient[1], "");
}

TEST_F(Mail, LoginOnAndOff)
{
    mail_config config = readLines("set smtp-auth=login\n");
    EXPECT_EQ(config.auth, 1u);
    EXPECT_STREQ(config.user, "");

    // Without a login the user and password stay in comment lines.
    mail_config out = record();
    out.auth = 0;
    EXPECT_EQ(write_email_config(file.c_str(), &out), 0);
    std::string text = readText(file);
    for (const char* gone : {"\nset smtp-auth", "\nset from"})
    {
        EXPECT_EQ(("\n" + text).find(gone), std::string::npos) << gone;
    }
    mail_config back{};
    EXPECT_EQ(read_email_config(file.c_str(), &back), 0);
    EXPECT_EQ(back.auth, 0u);
    EXPECT_STREQ(back.user, "bmc@example.com");
    EXPECT_STREQ(back.password, "p4ss word");

    // With the login: the whole record reads back.
    out = record();
    EXPECT_EQ(write_email_config(file.c_str(), &out), 0);
    EXPECT_EQ(readText(file).find("#set smtp-auth"), std::string::npos);
    back = mail_config{};
    EXPECT_EQ(read_email_config(file.c_str(), &back), 0);
    out.port = 465;
    EXPECT_EQ(std::memcmp(&back, &out, sizeof(out)), 0);
}

TEST_F(Mail, FileModesAndUnchangedRewrites)
{
    // A new file holds the password: readable by its owner alone.
    mail_config out = record();
    EXPECT_EQ(write_email_config(file.c_str(), &out), 0);
    EXPECT_EQ(statOf(file).st_mode & 0777, 0600u);
    const std::string text = readText(file);
    struct stat before = statOf(file);
    EXPECT_EQ(write_email_config(file.c_str(), &out), 0);
    EXPECT_EQ(readText(file), text);
    EXPECT_EQ(statOf(file).st_ino, before.st_ino);

    std::string other = (dir / "shared.rc").string();
    writeText(other, "set ask\n");
    ASSERT_EQ(::chmod(other.c_str(), 0640), 0);
    EXPECT_EQ(write_email_config(other.c_str(), &out), 0);
    EXPECT_EQ(statOf(other).st_mode & 0777, 0640u);
    EXPECT_EQ(readText(other).rfind("set ask\n", 0), 0u);

    // A line break would add a line: that value is refused, the rest is
    // written.
    std::strcpy(out.active, "1\nset");
    out.error_level = 4;
    EXPECT_EQ(write_email_config(file.c_str(), &out), -1);
    EXPECT_NE(readText(file).find("#error-level=4\n"), std::string::npos);
    EXPECT_EQ(readText(file).find("\nset\n"), std::string::npos);
}

TEST_F(Mail, ReadingKeepsWhatItDoesNotOwn)
{
    mail_config config{};
    std::memset(&config, 0x77, sizeof(config));
    EXPECT_EQ(read_email_config((dir / "missing").c_str(), &config), -1);
    EXPECT_EQ(config.user[0], 0x77); // untouched
    EXPECT_EQ(read_email_config(file.c_str(), nullptr), -1);
    EXPECT_EQ(write_email_config(file.c_str(), nullptr), -1);

    writeText(file, "#active=yes\n#error-level=12abc\n");
    ASSERT_EQ(read_email_config(file.c_str(), &config), 0);
    for (uint8_t byte : config.reserved)
    {
        ASSERT_EQ(byte, 0x77);
    }
    for (uint8_t byte : config.reserved2)
    {
        ASSERT_EQ(byte, 0x77);
    }
    EXPECT_STREQ(config.active, "yes");
    EXPECT_EQ(config.error_level, 12u);
    EXPECT_STREQ(config.server, "");
    EXPECT_EQ(config.port, 0u);
    EXPECT_EQ(config.auth, 0u);

    // Texts are cut to their fields.
    config = readLines("#active=longer-than-seven\nset smtp-auth-user=" +
                       std::string(100, 'u') + "\n");
    EXPECT_STREQ(config.active, "longer-");
    EXPECT_EQ(std::string(config.user), std::string(63, 'u'));
}

} // namespace
