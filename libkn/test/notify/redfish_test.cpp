// Redfish event posts: subscriptions in a zeroed stand-in for the main
// segment, the real curl posting to an HTTP listener of the test on the
// loopback address, GUID and asset tag files in the sandbox's /run.
#include "libkn/redfish.h"
#include "libkn/sel-parse.h"
#include "libkn/shm.h"

#include "testkit/sandbox.hpp"
#include "testkit/tempdir.hpp"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using Record = std::vector<uint8_t>;

struct Request
{
    std::string head;
    std::string body;
};

// Answers every POST with 200 (and the reply body given) and keeps what
// it got.
class Listener
{
  public:
    explicit Listener(std::string replyBody = "") : reply(std::move(replyBody))
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(address);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(fd, 8) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) !=
                0)
        {
            throw std::runtime_error("no loopback listener");
        }
        port = ntohs(address.sin_port);
        thread = std::thread([this] { serve(); });
    }
    ~Listener()
    {
        stop = true;
        thread.join();
        ::close(fd);
    }

    std::string url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    std::vector<Request> requests()
    {
        std::lock_guard guard(lock);
        return received;
    }

  private:
    void serve()
    {
        while (!stop)
        {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 50) != 1)
            {
                continue;
            }
            int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
            {
                answer(client);
                ::close(client);
            }
        }
    }

    void answer(int client)
    {
        std::string data;
        char chunk[4096];
        size_t end = std::string::npos;
        size_t length = 0;
        for (;;)
        {
            pollfd ready{client, POLLIN, 0};
            if (::poll(&ready, 1, 5000) != 1)
            {
                return;
            }
            ssize_t got = ::read(client, chunk, sizeof(chunk));
            if (got <= 0)
            {
                return;
            }
            data.append(chunk, static_cast<size_t>(got));
            if (end == std::string::npos &&
                (end = data.find("\r\n\r\n")) != std::string::npos)
            {
                std::string head = data.substr(0, end);
                size_t at = head.find("Content-Length: ");
                length = at == std::string::npos
                             ? 0
                             : std::stoul(head.substr(at + 16));
                if (head.find("Expect: 100-continue") != std::string::npos)
                {
                    sendText(client, "HTTP/1.1 100 Continue\r\n\r\n");
                }
            }
            if (end != std::string::npos && data.size() >= end + 4 + length)
            {
                break;
            }
        }
        {
            std::lock_guard guard(lock);
            received.push_back(
                {data.substr(0, end), data.substr(end + 4, length)});
        }
        sendText(client, "HTTP/1.1 200 OK\r\nContent-Length: " +
                             std::to_string(reply.size()) +
                             "\r\nConnection: close\r\n\r\n" + reply);
    }

    static void sendText(int client, const std::string& text)
    {
        for (size_t done = 0; done < text.size();)
        {
            ssize_t put =
                ::write(client, text.data() + done, text.size() - done);
            if (put <= 0)
            {
                return;
            }
            done += static_cast<size_t>(put);
        }
    }

    std::string reply;
    int fd = -1;
    uint16_t port = 0;
    std::atomic<bool> stop{false};
    std::thread thread;
    std::mutex lock;
    std::vector<Request> received;
};

Record thresholdEvent(uint8_t sensor)
{
    return {0x21, 0x00, 0x02, 0xE1,   0xA2, 0xFF, 0x4E, 0x20,
            0x00, 0x04, 0x01, sensor, 0x01, 0x57, 50,   45};
}

class Redfish : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        for (const char* proxy : {"http_proxy", "https_proxy", "HTTP_PROXY",
                                  "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
        {
            ::unsetenv(proxy);
        }
        fs::create_directories("/run/obmcinfo");
        std::ofstream("/run/obmcinfo/GUID") << "0123-GUID\n";
        std::ofstream("/run/obmcinfo/fruinfo") << "Product Asset Tag: AT-77\n";
        previous = fs::current_path();
        fs::current_path(work.path());
    }
    void TearDown() override
    {
        if (!previous.empty())
        {
            fs::current_path(previous);
        }
    }

    event_subscription& subscription(int i)
    {
        return *reinterpret_cast<event_subscription*>(
            base.data() + KN_SHM_SUBSCRIPTION_OFFSET +
            KN_SHM_SUBSCRIPTION_SIZE * i);
    }
    event_info& info()
    {
        return *reinterpret_cast<event_info*>(base.data() +
                                              KN_SHM_EVENT_INFO_OFFSET);
    }
    static void subscribe(event_subscription& s, const std::string& url,
                          uint8_t types)
    {
        s.in_use = 1;
        s.event_types = types;
        std::strcpy(s.token, "tok-1");
        std::strcpy(s.destination, url.c_str());
        s.all_sensors = 1;
    }

    std::vector<uint8_t> base =
        std::vector<uint8_t>(KN_SHM_EVENT_INFO_OFFSET + KN_SHM_EVENT_INFO_SIZE);
    testkit::TempDir work{"libkn-redfish"};
    fs::path previous;
};

TEST_F(Redfish, WhoWantsAnEvent)
{
    char types[KN_EVENT_TYPES_TEXT_SIZE] = "";
    EXPECT_STREQ(eventtypeToStr(0x11, types), "StatusChange,Alert");
    Record threshold = thresholdEvent(5);
    Record other = thresholdEvent(5);
    other[12] = 0x70;
    EXPECT_EQ(check_event_subscription_type(KN_EVENT_TYPE_STATUS_CHANGE,
                                            threshold.data()),
              -1);
    EXPECT_EQ(
        check_event_subscription_type(KN_EVENT_TYPE_ALERT, threshold.data()),
        0);
    EXPECT_EQ(check_event_subscription_type(KN_EVENT_TYPE_RESOURCE_ADDED,
                                            other.data()),
              0);

    event_subscription s{};
    s.event_types = KN_EVENT_TYPE_ALERT;
    const char* message = "Temperature CPU0  Upper Non-critical going high";
    EXPECT_EQ(check_event_subscription_active(s, threshold.data(), message), 0);
    s.sensor_select[5] = 1;
    EXPECT_EQ(check_event_subscription_active(s, threshold.data(), message), 1);
    // Generic row 7 filters the message out, unless filters are off; a
    // filter byte past the table's rows names nothing.
    s.generic_filter[3] = 200;
    EXPECT_EQ(check_event_subscription_active(s, threshold.data(), message), 1);
    s.generic_filter[9] = 1 + 7;
    EXPECT_EQ(check_event_subscription_active(s, threshold.data(), message), 0);
    s.no_message_filter = 1;
    EXPECT_EQ(check_event_subscription_active(s, threshold.data(), message), 1);
    s.no_message_filter = 0;
    s.generic_filter[9] = 0;
    // The last row a filter byte can name.
    const char* last = ipmi_get_first_event_sensor_type(0x05, 0x6F)[254].text;
    s.specific_filter[0] = 255;
    EXPECT_EQ(check_event_subscription_active(s, threshold.data(), last), 0);

    uint32_t id = 0;
    char problem[KN_SPECIFIC_PROBLEM_SIZE];
    getspecificProblem("Slot 3  Device Present  Asserted", &id, problem);
    EXPECT_EQ(id, 0x10000801u);
    EXPECT_STREQ(problem, "Device Present");
    getspecificProblem("IPMB L Enabled", &id, problem);
    EXPECT_EQ(id, 0x3000C303u);
    getspecificProblem("nothing known", &id, problem);
    EXPECT_EQ(id, 0xFFFFFFFFu);
    EXPECT_STREQ(problem, "Unknown Problem");
}

// From the subscriptions of the segment to the listener: one post to the
// one subscriber that wants the event, as curl sends it.
TEST_F(Redfish, PostToTheSubscriberThatWantsIt)
{
    Listener listener;
    subscribe(subscription(0), listener.url("/status"),
              KN_EVENT_TYPE_STATUS_CHANGE);
    subscribe(subscription(2), listener.url("/alerts"), KN_EVENT_TYPE_ALERT);
    subscribe(subscription(3), listener.url("/unused"), KN_EVENT_TYPE_ALERT);
    subscription(3).in_use = 0;
    info().EventId = 0x1234;
    info().alarmStatus = 3;
    info().objectUID = 5;
    std::strcpy(info().Severity, "Warning");
    std::strcpy(info().objectName, "CPU0_Temp");
    std::memset(info().objectType, 'T', sizeof(info().objectType));
    std::strcpy(info().EventTimestamp, "2012-01-01T00:03:45UTC:00");

    Record event = thresholdEvent(5);
    const std::string message = "Temperature CPU0_Temp  Upper Non-critical "
                                "going high  Asserted \"q\" \\ end";
    EXPECT_EQ(
        send_event_subscriptions(base.data(), event.data(), message.c_str()),
        0);
    auto requests = listener.requests();
    ASSERT_EQ(requests.size(), 1u);
    const Request& post = requests[0];
    EXPECT_EQ(post.head.rfind("POST /alerts HTTP/1.1\r\n", 0), 0u) << post.head;
    EXPECT_NE(post.head.find("\r\nX-Auth-Token:tok-1"), std::string::npos);
    EXPECT_NE(post.head.find("\r\nContent-Type:application/json"),
              std::string::npos);

    cJSON* tree = cJSON_Parse(post.body.c_str());
    ASSERT_NE(tree, nullptr) << post.body;
    const cJSON* e = cJSON_GetArrayItem(cJSON_GetObjectItem(tree, "Events"), 0);
    std::vector<std::string> keys;
    for (const cJSON* item = e->child; item != nullptr; item = item->next)
    {
        keys.push_back(item->string);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"EventType", "EventId",
                                              "EventTimestamp", "Severity",
                                              "Message", "Oem"}));
    const cJSON* oem =
        cJSON_GetObjectItem(cJSON_GetObjectItem(e, "Oem"), "Kestrelon");
    keys.clear();
    for (const cJSON* item = oem->child; item != nullptr; item = item->next)
    {
        keys.push_back(item->string);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{
                        "specificProblemID", "specificProblem", "alarmStatus",
                        "neUID", "neName", "neType", "objectUID", "objectName",
                        "objectType"}));
    auto text = [](const cJSON* object, const char* key) {
        const cJSON* item = cJSON_GetObjectItem(object, key);
        return cJSON_IsString(item) ? std::string(item->valuestring) : "<no>";
    };
    EXPECT_EQ(text(e, "EventType"), "Alert");
    EXPECT_EQ(text(e, "EventId"), "0x00001234");
    EXPECT_EQ(text(e, "Message"), message);
    EXPECT_EQ(text(oem, "specificProblemID"), "0x10000107");
    EXPECT_EQ(text(oem, "specificProblem"), "Upper Non-critical going high");
    EXPECT_TRUE(cJSON_IsNumber(cJSON_GetObjectItem(oem, "alarmStatus")));
    EXPECT_EQ(cJSON_GetObjectItem(oem, "alarmStatus")->valueint, 3);
    EXPECT_EQ(text(oem, "neUID"), "0123-GUID");
    EXPECT_EQ(text(oem, "neName"), "AT-77");
    EXPECT_EQ(text(oem, "objectUID"), "0x05");
    EXPECT_EQ(text(oem, "objectType"), std::string(32, 'T')); // whole field
    cJSON_Delete(tree);
}

// Texts from the segment reach curl as arguments: no shell sees them.
TEST_F(Redfish, DestinationsAndTokensAreNotCommands)
{
    Listener listener;
    event_subscription s{};
    subscribe(s, listener.url("/x$(touch${IFS}/tmp/pwn)"), KN_EVENT_TYPE_ALERT);
    EXPECT_EQ(send_curl_message(&s, "m`touch /tmp/pwn`", &info()), 0);
    EXPECT_FALSE(fs::exists("/tmp/pwn"));
    ASSERT_EQ(listener.requests().size(), 1u);

    std::strcpy(s.destination, "file:///etc/passwd");
    EXPECT_EQ(send_curl_message(&s, "m", &info()), -1);
    s.destination[0] = '\0';
    EXPECT_EQ(send_curl_message(&s, "m", &info()), -1);
    std::strcpy(s.destination, listener.url("/y").c_str());
    std::strcpy(s.token, "t\r\nX-Injected: 1");
    EXPECT_EQ(send_curl_message(&s, "m", &info()), -1);
    // A destination that fills its whole field is read within it.
    std::memset(s.destination, 'h', sizeof(s.destination));
    std::strcpy(s.token, "tok");
    EXPECT_EQ(send_curl_message(&s, "m", &info()), -1);
    EXPECT_EQ(listener.requests().size(), 1u);
    EXPECT_EQ(send_event_subscriptions(nullptr, nullptr, "m"), -1);
}

// A subscriber's reply, however long, reaches neither the caller's
// output nor its error stream; a URL that reads as a pattern is one
// request to that very path; text that is not UTF-8 arrives as U+FFFD.
TEST_F(Redfish, OnePostWhateverTheReplyAndTheUrl)
{
    std::string flood;
    while (flood.size() < (1u << 20))
    {
        flood += "<0>forged emergency line\n";
    }
    Listener listener(flood);
    event_subscription s{};
    subscribe(s, listener.url("/list[1-3]/{a,b}"), KN_EVENT_TYPE_ALERT);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status =
        send_curl_message(&s, "bad \xff\xc3( end \xe2\x82\xac", &info());
    std::fflush(stdout);
    std::fflush(stderr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(status, 0);
    auto requests = listener.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].head.rfind("POST /list[1-3]/{a,b} HTTP/1.1\r\n", 0),
              0u)
        << requests[0].head;
    cJSON* tree = cJSON_Parse(requests[0].body.c_str());
    ASSERT_NE(tree, nullptr);
    const cJSON* e = cJSON_GetArrayItem(cJSON_GetObjectItem(tree, "Events"), 0);
    EXPECT_STREQ(cJSON_GetObjectItem(e, "Message")->valuestring,
                 "bad \xef\xbf\xbd\xef\xbf\xbd( end \xe2\x82\xac");
    cJSON_Delete(tree);
}

} // namespace
