// FRU storage from the bytes of a device descriptor: the image read from
// an EEPROM on the fake I2C bus, one field changed with fru_modify_key and
// the image written back, end to end. The input is the 31 descriptor
// bytes, the field's row byte, the value (ended by a NUL byte), then the
// EEPROM's bytes. An image that fru_modify_key reports written must read
// back and decode.

#include "../libkn/test/fake_i2c.hpp"
#include "fake_bus.hpp"
#include "fuzz_util.hpp"

#include <libkn/fru.h>
#include <libkn/shm.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace
{

struct Field
{
    const char* title;
    const char* key;
};

constexpr std::array<Field, 6> fields = {{
    {"ChassisInfoArea", "SerialNum"},
    {"ChassisInfoArea", "Type"},
    {"BoardInfoArea", "PartNum"},
    {"BoardInfoArea", "CustomDataString"},
    {"ProductInfoArea", "SerialNum"},
    {"ProductInfoArea", "AssetTag"},
}};

constexpr int id = 4;

// Whether an area of the image is longer than the decoder takes (255
// bytes): a field grown to its longest can make one so.
bool longArea(const uint8_t* image, uint16_t length)
{
    for (int i = 2; i <= 4; ++i)
    {
        const size_t start = image[i] * size_t{8};
        if (image[i] != 0 && start + 1 < length && image[start + 1] >= 32)
        {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    // The main segment lies in the private IPC namespace of scripts/fuzz.
    static auto* base = static_cast<uint8_t*>(init_shm());
    if (base == nullptr || size < KN_SHM_FRU_DEVICE_SIZE)
    {
        return 0;
    }
    fuzz::Reader in(data, size);
    fru_device device{};
    std::string descriptor = in.take(KN_SHM_FRU_DEVICE_SIZE);
    std::memcpy(&device, descriptor.data(), sizeof(device));
    // The kernel's EEPROM files are real ones: only the bus is played.
    if (device.route == KN_FRU_ROUTE_FILE)
    {
        device.route = KN_FRU_ROUTE_I2C;
    }
    device.bus = 3;
    // An EEPROM's word address has one or two bytes; without one, reads go
    // on from wherever the chip's pointer stands.
    if (device.address_width != 1)
    {
        device.address_width = 2;
    }
    const Field& field = fields[in.byte() % fields.size()];
    std::string value = in.part();
    std::string memory = in.take(size);

    auto& world = kntest::FakeI2c::world();
    world.reset();
    world.addBus(3);
    auto eeprom = std::make_shared<kntest::FakeEeprom>(
        device.address_width, device.address_width == 1 ? 0x100 : 0x10000);
    std::copy(memory.begin(),
              memory.begin() + static_cast<long>(std::min(
                                   memory.size(), eeprom->memory.size())),
              eeprom->memory.begin());
    world.attach(3, device.address, eeprom);
    std::memcpy(base + KN_SHM_FRU_DEVICE_OFFSET + KN_SHM_FRU_DEVICE_SIZE * id,
                &device, sizeof(device));

    if (fru_modify_key(id, field.title, field.key, value.c_str()) == 0 &&
        device.access != KN_FRU_NO_ACCESS && device.route == KN_FRU_ROUTE_I2C)
    {
        uint8_t image[KN_FRU_IMAGE_MAX + KN_FRU_PIECE_SIZE] = {};
        const uint16_t length =
            static_cast<uint16_t>(device.size[0] | device.size[1] << 8);
        if (get_fru_bin(device, image) != 0 ||
            (parse_bin_date(image, length) != 0 && !longArea(image, length)))
        {
            std::abort(); // written, but not readable as an image
        }
    }
    if (world.openDescriptors() != 0)
    {
        std::abort();
    }
    return 0;
}
