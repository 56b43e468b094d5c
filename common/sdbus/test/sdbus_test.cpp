// Tests of the D-Bus layer on a private bus: typed message round trips,
// errors, matches, the object server and the asio connection.

#include "sdbus/asio_connection.hpp"
#include "sdbus/bus.hpp"
#include "sdbus/event_loop.hpp"
#include "sdbus/match.hpp"
#include "sdbus/object_server.hpp"
#include "testkit/commands.hpp"
#include "testkit/main.hpp"
#include "testkit/wait.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace
{

constexpr const char* serviceName = "test.sdbus.Layer";

/** A server on its own thread and connection, as a separate peer would
 *  be; it echoes what it receives and can be told to answer late. */
class EchoPeer
{
  public:
    explicit EchoPeer(std::string busName = serviceName,
                      std::atomic<bool>* gate = nullptr) :
        name(std::move(busName)),
        released(gate)
    {
        thread = std::thread([this] { run(); });
        testkit::waitUntil([this] { return ready.load(); }, 10s);
    }
    ~EchoPeer()
    {
        boost::asio::post(io, [this] { io.stop(); });
        thread.join();
    }

  private:
    void run()
    {
        sdbus::AsioConnection conn(io, sdbus::Bus::newSystem());
        conn.bus().requestName(name);
        sdbus::ObjectServer server(conn);
        auto iface = server.addInterface("/echo", "test.Echo");
        iface->registerMethod(
            "Nested",
            [](const std::map<std::string,
                              std::vector<std::tuple<int32_t, std::string>>>& m,
               const std::vector<uint8_t>& bytes, const sdbus::ObjectPath& p,
               uint64_t big, int16_t small, double d) {
            return std::tuple(m, bytes, p, big, small, d);
            });
        // Blocks this peer until another peer's Release opens the gate.
        iface->registerMethod("Slow", [this]() {
            testkit::waitUntil([this] { return released->load(); }, 20s);
        });
        iface->registerMethod("Release", [this]() { *released = true; });
        iface->registerMethod("Twice", [](int32_t v) { return 2 * v; });
        iface->registerMethod("Fail", []() -> bool {
            throw sdbus::MethodError("test.Error.Refused", "not today");
        });
        iface->registerMethod("Crash", []() -> bool {
            throw std::runtime_error("handler broke");
        });
        iface->initialize();
        ready = true;
        io.run();
    }

    std::string name;
    std::atomic<bool>* released;
    boost::asio::io_context io;
    std::thread thread;
    std::atomic<bool> ready{false};
};

TEST(SdbusMessage, NestedTypesSurviveARoundTrip)
{
    EchoPeer peer;
    auto bus = sdbus::Bus::newSystem();
    std::map<std::string, std::vector<std::tuple<int32_t, std::string>>> m{
        {"a", {{1, "one"}, {-2, "two"}}}, {"empty", {}}};
    std::vector<uint8_t> bytes{0, 255, 7};
    auto reply = bus.callMethod(serviceName, "/echo", "test.Echo", "Nested", m,
                                bytes, sdbus::ObjectPath("/x/y"),
                                uint64_t{1} << 63, int16_t{-5}, 2.5);
    EXPECT_EQ(reply.signature(), "a{sa(is)}ayotnd");
    auto [m2, b2, p2, big, small, d] =
        reply.unpack<decltype(m), std::vector<uint8_t>, sdbus::ObjectPath,
                     uint64_t, int16_t, double>();
    EXPECT_EQ(m2, m);
    EXPECT_EQ(b2, bytes);
    EXPECT_EQ(p2.str, "/x/y");
    EXPECT_EQ(big, uint64_t{1} << 63);
    EXPECT_EQ(small, -5);
    EXPECT_EQ(d, 2.5);
}

TEST(SdbusMessage, VariantTakesFirstExactMatchOrDefaultsFirst)
{
    auto bus = sdbus::Bus::newSystem();
    auto m = bus.newMethodCall("a.b", "/", "a.b", "C");
    using V = std::variant<int64_t, double, std::string, bool>;
    m.append(V{true}, V{std::string("s")}, std::variant<int32_t>{7},
             std::variant<uint16_t>{uint16_t{9}});
    // Seal the message so it can be read back.
    ASSERT_GE(sd_bus_message_seal(m.get(), 1, 0), 0);
    auto [b, s, i32, q] = m.unpack<V, V, V, V>();
    EXPECT_EQ(std::get<bool>(b), true);
    EXPECT_EQ(std::get<std::string>(s), "s");
    // 'i' and 'q' match no alternative: the first one's default.
    ASSERT_EQ(i32.index(), 0U);
    EXPECT_EQ(std::get<int64_t>(i32), 0);
    EXPECT_EQ(std::get<int64_t>(q), 0);
    EXPECT_TRUE(m.atEnd(true));
}

TEST(SdbusBus, NewConnectionsAreLoggedInAtOnce)
{
    // The bus daemon drops connections that stay unauthenticated past its
    // auth timeout, so one opened now and first used later must already be
    // registered: it shows in ListNames without any call of its own.
    auto observer = sdbus::Bus::newSystem();
    auto names = [&observer] {
        return observer
            .callMethod("org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus", "ListNames")
            .unpack<std::vector<std::string>>()
            .size();
    };
    const auto before = names();
    auto fresh = sdbus::Bus::newSystem();
    EXPECT_EQ(names(), before + 1);
}

TEST(SdbusError, RequestNameTakenAndErrorRepliesCarryNames)
{
    EchoPeer peer;
    auto bus = sdbus::Bus::newSystem();
    try
    {
        bus.requestName(serviceName);
        FAIL() << "a taken name was granted";
    }
    catch (const sdbus::SdBusError& e)
    {
        EXPECT_STREQ(e.what(), "sd_bus_request_name: "
                               "org.freedesktop.DBus.Error.FileExists: "
                               "File exists");
    }

    try
    {
        bus.callMethod(serviceName, "/echo", "test.Echo", "Fail");
        FAIL() << "an error reply did not throw";
    }
    catch (const sdbus::SdBusError& e)
    {
        EXPECT_STREQ(e.what(), "sd_bus_call: test.Error.Refused: not today");
        EXPECT_STREQ(e.name(), "test.Error.Refused");
    }

    // Any other exception in a handler is an error reply; the peer lives.
    EXPECT_THROW(bus.callMethod(serviceName, "/echo", "test.Echo", "Crash"),
                 sdbus::SdBusError);
    auto r = bus.callMethod(serviceName, "/echo", "test.Echo", "Twice", 4);
    EXPECT_EQ(r.unpack<int32_t>(), 8);

    EXPECT_THROW(bus.callMethod("test.nobody", "/", "a.b", "C"),
                 sdbus::SdBusError);
}

TEST(SdbusError, CallWithATimeoutFailsWhenNoReplyComes)
{
    std::atomic<bool> released{false};
    EchoPeer slow("test.sdbus.Slow", &released);
    auto bus = sdbus::Bus::newSystem();
    auto m = bus.newMethodCall("test.sdbus.Slow", "/echo", "test.Echo", "Slow");
    try
    {
        bus.call(m, 100ms);
        FAIL() << "a call without a reply returned";
    }
    catch (const sdbus::SdBusError& e)
    {
        EXPECT_STREQ(e.name(), "org.freedesktop.DBus.Error.Timeout");
    }
    // The late reply is dropped: the next call gets its own.
    released = true;
    auto r =
        bus.callMethod("test.sdbus.Slow", "/echo", "test.Echo", "Twice", 4);
    EXPECT_EQ(r.unpack<int32_t>(), 8);
}

struct Served
{
    boost::asio::io_context io;
    sdbus::AsioConnection conn{io, sdbus::Bus::newSystem()};
    sdbus::ObjectServer server{conn};
    std::shared_ptr<sdbus::DbusInterface> iface;

    Served()
    {
        conn.bus().requestName("test.sdbus.Served");
        iface = server.addInterface("/obj", "test.Props");
        iface->registerProperty("Flag", true, sdbus::Access::readWrite);
        iface->registerProperty<uint32_t>(
            "Even", 2, [](const uint32_t& req, uint32_t& stored) {
                if (req % 2 != 0)
                {
                    return false;
                }
                stored = req;
                return true;
            });
        iface->registerProperty<std::string>("Name", "first");
        iface->initialize();
    }

    /** Runs the loop until cond holds or the deadline passes. */
    bool spinUntil(const std::function<bool()>& cond,
                   std::chrono::milliseconds deadline = 10s)
    {
        auto end = std::chrono::steady_clock::now() + deadline;
        while (!cond())
        {
            if (std::chrono::steady_clock::now() > end)
            {
                return false;
            }
            io.run_for(20ms);
            io.restart();
        }
        return true;
    }
};

TEST(SdbusObjectServer, PropertiesSignalOnlyOnChangeAndRefuseBadWrites)
{
    Served s;
    int signals = 0;
    std::string lastName;
    sdbus::Match match(s.conn.bus(),
                       "type='signal',path='/obj',member='PropertiesChanged',"
                       "interface='org.freedesktop.DBus.Properties',",
                       [&](sdbus::Message& m) {
        auto [iface, changed] = m.unpack<
            std::string,
            std::map<std::string, std::variant<bool, std::string, uint32_t>>>();
        ++signals;
        if (changed.contains("Name"))
        {
            lastName = std::get<std::string>(changed["Name"]);
        }
    });

    auto busctl = [&s](std::vector<std::string> args) {
        std::atomic<bool> done{false};
        testkit::CommandResult result;
        std::thread t([&] {
            result = testkit::busctl(args);
            done = true;
        });
        s.spinUntil([&] { return done.load(); });
        t.join();
        return result;
    };
    auto set = [&](const std::string& prop, const std::string& sig,
                   const std::string& value) {
        return busctl({"set-property", "test.sdbus.Served", "/obj",
                       "test.Props", prop, sig, value});
    };

    EXPECT_EQ(set("Flag", "b", "false").status, 0);
    ASSERT_TRUE(s.spinUntil([&] { return signals == 1; }));
    EXPECT_EQ(set("Flag", "b", "false").status, 0);
    EXPECT_NE(set("Flag", "s", "no").status, 0);
    EXPECT_NE(set("Even", "u", "3").status, 0);
    EXPECT_NE(set("Name", "s", "x").status, 0) << "read-only accepted";
    EXPECT_EQ(s.iface->getProperty<uint32_t>("Even"), 2U);
    EXPECT_FALSE(s.iface->getProperty<bool>("Flag"));

    // A property set from code signals on change only.
    s.iface->setProperty<std::string>("Name", "first");
    s.iface->setProperty<std::string>("Name", "second");
    ASSERT_TRUE(s.spinUntil([&] { return lastName == "second"; }));
    // Flush with a round trip: the unchanged writes must not have signalled.
    EXPECT_EQ(set("Even", "u", "4").status, 0);
    ASSERT_TRUE(s.spinUntil([&] { return signals == 3; }));
    s.io.run_for(50ms);
    EXPECT_EQ(signals, 3);

    auto objects =
        busctl({"call", "test.sdbus.Served", "/",
                "org.freedesktop.DBus.ObjectManager", "GetManagedObjects"});
    EXPECT_NE(objects.out.find("\"/obj\""), std::string::npos);
    EXPECT_NE(objects.out.find("\"Name\" s \"second\""), std::string::npos);
}

TEST(SdbusAsioConnection, DeferredCallbackExceptionLeavesTheLoop)
{
    boost::asio::io_context io;
    sdbus::AsioConnection conn(io, sdbus::Bus::newSystem());
    sdbus::Match match(conn.bus(), "type='signal',interface='test.Boom',",
                       [](sdbus::Message&) {
        throw std::runtime_error("from the callback");
    });
    auto emitter = sdbus::Bus::newSystem();
    auto sig = emitter.newSignal("/boom", "test.Boom", "Now");
    emitter.send(sig);
    emitter.flush();
    try
    {
        io.run_for(10s);
        FAIL() << "the exception did not leave the loop";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ(e.what(), "from the callback");
    }
}

TEST(SdbusAsioConnection, LaterCallbackExceptionsAreReportedNotLost)
{
    // One signal, two callbacks that both throw in the same dispatch: one
    // leaves the loop, the other is named on standard error.
    boost::asio::io_context io;
    sdbus::AsioConnection conn(io, sdbus::Bus::newSystem());
    const std::string rule = "type='signal',interface='test.Boom',";
    sdbus::Match first(conn.bus(), rule, [](sdbus::Message&) {
        throw std::runtime_error("first failure");
    });
    sdbus::Match second(conn.bus(), rule, [](sdbus::Message&) {
        throw std::runtime_error("second failure");
    });
    auto emitter = sdbus::Bus::newSystem();
    auto sig = emitter.newSignal("/boom", "test.Boom", "Now");
    emitter.send(sig);
    emitter.flush();
    ::testing::internal::CaptureStderr();
    std::string caught;
    try
    {
        io.run_for(10s);
    }
    catch (const std::runtime_error& e)
    {
        caught = e.what();
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(caught == "first failure" || caught == "second failure")
        << caught;
    const std::string other =
        caught == "first failure" ? "second failure" : "first failure";
    EXPECT_NE(err.find("sdbus: dropped a later exception of a bus callback: " +
                       other),
              std::string::npos)
        << err;
}

TEST(SdbusEventLoop, AFailureLeavingTheLoopEndsWithTheDaemonsStatus)
{
    boost::asio::io_context io;
    boost::asio::post(io, [] { throw std::runtime_error("lost the bus"); });
    ::testing::internal::CaptureStderr();
    const int status = sdbus::runEventLoop(io, 7);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "lost the bus\n");
    EXPECT_EQ(status, 7);

    boost::asio::io_context idle;
    EXPECT_EQ(sdbus::runEventLoop(idle, 7), 0);
}

TEST(SdbusAsioConnection, QueuedCallsAreServedAfterASynchronousCall)
{
    // A synchronous call made from the loop reads ahead: a request that
    // arrives meanwhile waits inside sd-bus while the socket no longer looks
    // readable, and must still be answered once the call returns.
    std::atomic<bool> released{false};
    EchoPeer slow("test.sdbus.Slow", &released);
    EchoPeer releaser("test.sdbus.Releaser", &released);
    Served s;
    std::atomic<bool> blocking{false};
    boost::asio::post(s.io, [&] {
        blocking = true;
        s.conn.bus().callMethod("test.sdbus.Slow", "/echo", "test.Echo",
                                "Slow");
    });

    std::atomic<int> answer{0};
    std::thread client([&] {
        testkit::waitUntil([&] { return blocking.load(); }, 20s);
        sd_bus* bus = nullptr;
        ASSERT_GE(sd_bus_open_system(&bus), 0);
        auto onReply = [](sd_bus_message* m, void* userdata, sd_bus_error*) {
            const char* v = nullptr;
            auto* out = static_cast<std::atomic<int>*>(userdata);
            *out = (sd_bus_message_enter_container(m, 'v', "s") > 0 &&
                    sd_bus_message_read_basic(m, 's', &v) > 0 &&
                    std::string(v) == "first")
                       ? 1
                       : -1;
            return 0;
        };
        ASSERT_GE(sd_bus_call_method_async(
                      bus, nullptr, "test.sdbus.Served", "/obj",
                      "org.freedesktop.DBus.Properties", "Get", onReply,
                      &answer, "ss", "test.Props", "Name"),
                  0);
        // The bus daemon forwards this connection's messages in order, so
        // the Get is queued to the served connection before the release.
        ASSERT_GE(sd_bus_call_method(bus, "test.sdbus.Releaser", "/echo",
                                     "test.Echo", "Release", nullptr, nullptr,
                                     ""),
                  0);
        testkit::waitUntil(
            [&] {
            while (sd_bus_process(bus, nullptr) > 0)
            {}
            return answer != 0;
            },
            20s);
        sd_bus_flush_close_unref(bus);
    });
    EXPECT_TRUE(s.spinUntil([&] { return answer != 0; }, 20s));
    client.join();
    EXPECT_EQ(answer, 1);
}

} // namespace

int main(int argc, char** argv)
{
    return testkit::runTests(argc, argv, {});
}
