// The hardware detectors on the fake I2C bus: every address of the buses
// answers reads with the input's bytes (in turn) and takes or refuses
// writes as they say. The input is the detector byte, its index and board
// id bytes, the extension buses of bus 13's four channels, then the
// answers.

#include "../libkn/test/fake_i2c.hpp"
#include "fake_bus.hpp"
#include "fuzz_util.hpp"

#include <libkn/back-plane-mgt.h>
#include <libkn/cpld-rw-reg.h>
#include <libkn/shm.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace
{

// Answers reads from the bytes in turn; a write is acknowledged when the
// next byte is even.
class Answers : public kntest::I2cDevice
{
  public:
    explicit Answers(std::string bytes) : bytes(std::move(bytes)) {}

    bool write(const std::vector<uint8_t>& /*written*/) override
    {
        return (next() & 1) == 0;
    }
    bool read(std::vector<uint8_t>& out) override
    {
        for (auto& byte : out)
        {
            byte = next();
        }
        return true;
    }

  private:
    uint8_t next()
    {
        if (bytes.empty())
        {
            return 0;
        }
        return static_cast<uint8_t>(bytes[at++ % bytes.size()]);
    }

    std::string bytes;
    size_t at = 0;
};

constexpr int buses = 24;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    // The files go to the private /run of scripts/fuzz; the claims of the
    // switches lie in its private main segment.
    static const bool ready = [] {
        ::mkdir("/run/obmcinfo", 0755);
        ::mkdir("/run/obmcinfo/i2c", 0755);
        ::mkdir("/run/backplane", 0755);
        return std::freopen("/dev/null", "w", stdout) != nullptr;
    }();
    static auto* base = static_cast<uint8_t*>(get_shm_address());
    if (!ready || base == nullptr)
    {
        return 0;
    }
    fuzz::Reader in(data, size);
    const uint8_t detector = in.byte();
    const uint8_t index = in.byte();
    const uint8_t board = in.byte();
    // The capture is there (empty): no shell runs to make it.
    fuzz::writeFile("/run/obmcinfo/i2c_dmesg", nullptr, 0);
    for (int ext = 1; ext <= 4; ++ext)
    {
        const std::string text = std::to_string(in.byte() % buses) + "\n";
        fuzz::writeFile("/run/obmcinfo/i2c/i2c-13-" + std::to_string(ext),
                        reinterpret_cast<const uint8_t*>(text.data()),
                        text.size());
    }
    auto answers = std::make_shared<Answers>(in.take(size));

    auto& world = kntest::FakeI2c::world();
    world.reset();
    for (int bus = 0; bus < buses; ++bus)
    {
        world.addBus(bus);
        for (int address = 0x03; address <= 0x77; ++address)
        {
            world.attach(bus, static_cast<uint8_t>(address), answers);
        }
    }
    std::fill(base + KN_SHM_MUX_CLAIM_OFFSET, base + KN_SHM_MAIL_CONFIG_OFFSET,
              0);

    const uint8_t bus = index % buses;
    const uint8_t address = static_cast<uint8_t>(0x03 + board % 0x75);
    switch (detector % 10)
    {
        case 0:
            f2p_backpalne_detect(index % 4, board, bus, address, index);
            break;
        case 1:
            f8p_backpalne_detect(index % 4, board, bus, address, index);
            break;
        case 2:
            f12p_backpalne_detect(index % 4, board, bus, address, index);
            break;
        case 3:
            f25p_backpalne_detect(index % 4, board, bus, address, index);
            break;
        case 4:
            f2p_backpalne_3p5_detect(index % 4, board, bus, address, index);
            break;
        case 5:
            backplane_board_detect();
            break;
        case 6:
            mp2_card_detect();
            break;
        case 7:
            iox_present_detect();
            break;
        case 8:
            riser_card_detect();
            break;
        default:
            single_riser_detect();
            break;
    }
    uint8_t registers[KN_CPLD_DATA_MAX] = {};
    CPLDModuleReadDatas(index, registers, board % (KN_CPLD_DATA_MAX + 2));
    if (world.openDescriptors() != 0)
    {
        std::abort();
    }
    return 0;
}
