// A Redfish subscription record tested against a SEL record and its text,
// the specific problem found in the text, and (when the record's in-use
// byte is odd) the event body built for the post. The input is the
// subscription record, the SEL record, then the text. curl is not found
// on the target's PATH: no post leaves.

#include "fuzz_util.hpp"

#include <libkn/redfish.h>
#include <libkn/shm.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static const bool ready = [] {
        const std::string empty = fuzz::workDir() + "/no-programs";
        ::mkdir(empty.c_str(), 0755);
        return ::setenv("PATH", empty.c_str(), 1) == 0;
    }();
    if (!ready || size < sizeof(event_subscription) + 16)
    {
        return 0;
    }
    event_subscription subscription;
    std::memcpy(&subscription, data, sizeof(subscription));
    const uint8_t* record = data + sizeof(subscription);
    std::string message(reinterpret_cast<const char*>(record + 16),
                        size - sizeof(subscription) - 16);

    check_event_subscription_type(subscription.event_types, record);
    check_event_subscription_active(subscription, record, message.c_str());
    char types[KN_EVENT_TYPES_TEXT_SIZE] = "";
    eventtypeToStr(subscription.event_types, types);
    uint32_t id = 0;
    char problem[KN_SPECIFIC_PROBLEM_SIZE];
    getspecificProblem(message.c_str(), &id, problem);
    if ((subscription.in_use & 1) != 0)
    {
        event_info info{};
        std::memcpy(&info, record, 16);
        std::memcpy(info.objectName, message.data(),
                    std::min(message.size(), sizeof(info.objectName)));
        send_curl_message(&subscription, message.c_str(), &info);
    }
    return 0;
}
