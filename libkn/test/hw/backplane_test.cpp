// Hardware detection on the fake buses: backplane CPLDs, cards behind
// switches, the routing CPLD behind bus 13's extension buses (from cache
// files), and the files written into the sandbox's private /run.
#include "libkn/back-plane-mgt.h"
#include "libkn/log.h"
#include "libkn/misc.h"
#include "libkn/shm.h"

#include "fake_i2c.hpp"
#include "files.hpp"
#include "testkit/sandbox.hpp"

#include <cjson/cJSON.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using kntest::FakeCpld;
using kntest::FakeI2c;
using Bytes = std::vector<uint8_t>;
using kntest::readText;
using kntest::writeText;

const fs::path folder = "/run/backplane";

Bytes readBytes(const fs::path& path)
{
    std::string text = readText(path);
    return Bytes(text.begin(), text.end());
}

// The parsed text, or null when it is not one valid JSON text.
std::unique_ptr<cJSON, decltype(&cJSON_Delete)> parse(const std::string& text)
{
    const char* end = nullptr;
    cJSON* tree = cJSON_ParseWithOpts(text.c_str(), &end, 1);
    return {tree, cJSON_Delete};
}

std::string field(const cJSON* tree, const char* name)
{
    const cJSON* data = cJSON_GetObjectItemCaseSensitive(tree, "data");
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(data, name);
    return cJSON_IsString(item) ? item->valuestring : "<none>";
}

// A CPLD that stops answering reads from one register.
class FailingCpld : public FakeCpld
{
  public:
    bool read(std::vector<uint8_t>& bytes) override
    {
        return offset != failAt && FakeCpld::read(bytes);
    }
    int failAt = -1;
};

class Detection : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        world.reset();
        fs::remove_all(folder);
        fs::create_directories(folder);
        fs::remove_all("/run/obmcinfo");
        // A capture without bus 13: only cache files name extension buses.
        writeText("/run/obmcinfo/i2c_dmesg", "");
        fs::remove(log_path[KN_LOG_ERROR]);
        auto* base = static_cast<uint8_t*>(get_shm_address());
        ASSERT_NE(base, nullptr);
        claims = base + KN_SHM_MUX_CLAIM_OFFSET;
        std::fill(claims, base + KN_SHM_MAIL_CONFIG_OFFSET, 0);
    }

    void TearDown() override
    {
        EXPECT_EQ(world.openDescriptors(), 0);
    }

    // A backplane CPLD: id byte at the offset, presence, media, version.
    std::shared_ptr<FailingCpld> backplane(int bus, uint8_t address,
                                           uint8_t offset, uint8_t id,
                                           Bytes presence, Bytes media)
    {
        auto cpld = std::make_shared<FailingCpld>();
        cpld->registers[offset] = id;
        std::copy(presence.begin(), presence.end(), cpld->registers + 25);
        std::copy(media.begin(), media.end(), cpld->registers + 9);
        cpld->registers[8] = 3;
        world.addBus(bus);
        world.attach(bus, address, cpld);
        return cpld;
    }

    // The routing CPLD at 0x3f behind bus 13's extension bus `ext`.
    std::shared_ptr<FakeCpld> routing(int ext, int bus)
    {
        writeText("/run/obmcinfo/i2c/i2c-13-" + std::to_string(ext),
                  std::to_string(bus) + "\n");
        auto cpld = std::make_shared<FakeCpld>();
        world.addBus(bus);
        world.attach(bus, 0x3f, cpld);
        return cpld;
    }

    FakeI2c& world = FakeI2c::world();
    uint8_t* claims = nullptr;
};

TEST_F(Detection, OddParityOfTheIdByte)
{
    EXPECT_EQ(odd_check(0x1F, 8), 0);
    EXPECT_EQ(odd_check(0x3F, 8), KN_BP_PARITY_ERROR);
    EXPECT_EQ(odd_check(0x03, 1), 0); // only the low bit counts
    EXPECT_EQ(odd_check(0x80000000U, 64), 0);
    EXPECT_EQ(odd_check(0x01, 0), KN_BP_PARITY_ERROR);

    backplane(7, 0x3f, 0, 0x3F, {0}, {0});
    EXPECT_EQ(f2p_backpalne_detect(0, 0, 7, 0x3f, 0), KN_BP_PARITY_ERROR);
    EXPECT_FALSE(fs::exists(folder / "2p0.json"));
}

TEST_F(Detection, TwoSlotBackplane)
{
    auto cpld = backplane(7, 0x0a, 2, 0x1F, {0x02}, {0x02});
    EXPECT_EQ(f2p_backpalne_detect(0, 0, 7, 0x0a, 2), KN_BP_OK);
    const std::string golden =
        "{\"data\":{\n\"Board Name\":\"2P BACK PLANE\",\n"
        "\"CPLD Channel\":\"7\",\n"
        "\"CPLD Address\":\"0a\",\n"
        "\"Card Name\":\"2P BACKPLANE\",\n"
        "\"PCB Version\":\"VA\",\n"
        "\"SLOT1 Present\":\"PRESENT\",\n"
        "\"SLOT2 Present\":\"UN-PRESENT\",\n"
        "\"SLOT1 Media Type\":\"SAS/SATA\",\n"
        "\"SSD Number\":\"2\",\"SSD Channel\":["
        "{\"i2c\":\"10\",\"ext\":\"0\",\"slot\":\"slot1\"},\n"
        "{\"i2c\":\"12\",\"ext\":\"0\",\"slot\":\"slot2\"}],\n"
        "\"CPLD Version\":\"V3\"\n}\n}";
    EXPECT_EQ(readText(folder / "2p0.json"), golden);
    // The id register, then presence, media and version: offset written,
    // bytes read.
    std::vector<uint8_t> offsets;
    for (const auto& m : world.messages())
    {
        if (!m.read)
        {
            offsets.insert(offsets.end(), m.bytes.begin(), m.bytes.end());
        }
    }
    EXPECT_EQ(offsets, (Bytes{2, 25, 9, 8}));

    // A second detection, both slots filled: one valid text, the new one.
    cpld->registers[25] = 0x00;
    EXPECT_EQ(f2p_backpalne_detect(0, 0, 7, 0x0a, 2), KN_BP_OK);
    auto tree = parse(readText(folder / "2p0.json"));
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(field(tree.get(), "SLOT1 Media Type"), "SAS/SATA");
    EXPECT_EQ(field(tree.get(), "SLOT2 Media Type"), "NVME");
    EXPECT_EQ(field(tree.get(), "PCB Version"), "VA");

    // SSD channels only at index 0; another id is refused.
    EXPECT_EQ(f2p_backpalne_detect(1, 0, 7, 0x0a, 2), KN_BP_OK);
    EXPECT_EQ(readText(folder / "2p1.json").find("SSD"), std::string::npos);
    cpld->registers[2] = 0x0E; // id 14
    EXPECT_EQ(f2p_backpalne_detect(2, 0, 7, 0x0a, 2), KN_BP_ID_MISMATCH);
    EXPECT_EQ(f2p_backpalne_3p5_detect(0, 14, 7, 0x0a, 2), KN_BP_OK);
    EXPECT_NE(parse(readText(folder / "3p5_2p0.json")), nullptr);
}

TEST_F(Detection, TwelveAndTwentyFiveSlotBackplanes)
{
    auto second = routing(2, 20);
    auto fourth = routing(4, 21);
    auto third = routing(3, 22);

    auto cpld = backplane(7, 0x3f, 0, 0x0B, {0xFE, 0x0F}, {0x01, 0x00});
    EXPECT_EQ(f12p_backpalne_detect(0, 8, 7, 0x3f, 0), KN_BP_ID_MISMATCH);
    EXPECT_EQ(f12p_backpalne_detect(0, 11, 7, 0x3f, 0), KN_BP_OK);
    std::string text = readText(folder / "12p0.json");
    EXPECT_EQ(text.find("SSD"), std::string::npos) << text;
    auto tree = parse(text);
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(field(tree.get(), "CPLD Address"), "63");
    EXPECT_EQ(field(tree.get(), "SLOT1 Media Type"), "NVME");
    EXPECT_EQ(field(tree.get(), "SLOT12 Present"), "UN-PRESENT");
    EXPECT_EQ(second->registers[45], 1);
    EXPECT_EQ(fourth->registers[45], 0);

    // Id 8 routes through ext 4 and 3 and lists four SSD channels.
    cpld->registers[0] = 0x08;
    EXPECT_EQ(f12p_backpalne_detect(0, 8, 7, 0x3f, 0), KN_BP_OK);
    text = readText(folder / "12p0.json");
    EXPECT_NE(text.find("\"SSD Number\":\"4\",\n\"SSD Channel\":["),
              std::string::npos);
    EXPECT_NE(parse(text), nullptr);
    EXPECT_EQ(fourth->registers[45], 1);
    EXPECT_EQ(third->registers[45], 1);
    EXPECT_EQ(f12p_backpalne_detect(0, 9, 7, 0x3f, 0), KN_BP_ID_MISMATCH);

    // 25 slots: id 9 only at index 0, id 25 only at the others.
    cpld->registers[0] = 0x29; // id 9, version B
    EXPECT_EQ(f25p_backpalne_detect(1, 0, 7, 0x3f, 0), KN_BP_ID_MISMATCH);
    EXPECT_EQ(f25p_backpalne_detect(0, 0, 7, 0x3f, 0), KN_BP_OK);
    EXPECT_EQ(fourth->registers[45], 2);
    tree = parse(readText(folder / "25p0.json"));
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(field(tree.get(), "SLOT25 Present"), "PRESENT");
    EXPECT_EQ(field(tree.get(), "PCB Version"), "VB");
    cpld->registers[0] = 0x19; // id 25
    EXPECT_EQ(f25p_backpalne_detect(0, 0, 7, 0x3f, 0), KN_BP_ID_MISMATCH);
    EXPECT_EQ(f25p_backpalne_detect(1, 0, 7, 0x3f, 0), KN_BP_OK);
}

// A failed read after the opening text leaves that text alone; the
// failure is logged with the register.
TEST_F(Detection, FailedReadKeepsTheOpeningText)
{
    backplane(7, 0x0a, 0, 0x1F, {0x00}, {0x00})->failAt = 9;
    EXPECT_EQ(f2p_backpalne_detect(0, 0, 7, 0x0a, 0), KN_BP_TRANSFER_FAILED);
    EXPECT_EQ(readText(folder / "2p0.json"),
              "{\"data\":{\n\"Board Name\":\"2P BACK PLANE\",\n");
    std::string log = readText(log_path[KN_LOG_ERROR]);
    EXPECT_NE(log.find("-i2c rw data failed bus=7, address=10 offset=9. "
                       "back-plane-mgt:"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" f2p_backpalne_detect \n"), std::string::npos) << log;
    EXPECT_EQ(f8p_backpalne_detect(0, 0, 9, 0x0a, 0), KN_BP_OPEN_BUS_FAILED);
}

TEST_F(Detection, PresenceMarkersAndChassisType)
{
    backplane(1, 0x3f, 0, 0x0E, {}, {});
    EXPECT_EQ(read_chassis_type(), 2); // by the board id
    EXPECT_EQ(backplane_board_detect(), KN_BP_OK);
    EXPECT_EQ(backplane_board_handler("10p0", 14, 1, 0x3f, 0), KN_BP_OK);
    EXPECT_EQ(readText(folder / "10p0.json"), "{\"present\":\"1\"}");
    EXPECT_EQ(backplane_board_handler("10p0", 15, 1, 0x3f, 0),
              KN_BP_ID_MISMATCH);
    EXPECT_EQ(backplane_board_handler("../10p0", 14, 1, 0x3f, 0),
              KN_BP_OPEN_FILE_FAILED);
    EXPECT_EQ(
        backplane_board_handler(std::string(300, 'x').c_str(), 14, 1, 0x3f, 0),
        KN_BP_OPEN_FILE_FAILED);

    world.reset();
    EXPECT_EQ(read_chassis_type(), 2); // by the marker
    fs::remove(folder / "10p0.json");
    EXPECT_EQ(read_chassis_type(), 1);
    backplane(1, 0x3f, 0, 0x0A, {}, {});
    EXPECT_EQ(read_chassis_type(), 1);
}

TEST_F(Detection, M2Cards)
{
    // Three rows, three channels each; no card anywhere yet.
    std::vector<std::shared_ptr<FakeCpld>> cards;
    for (int bus : {5, 6, 10, 12})
    {
        world.addBus(bus);
    }
    for (int bus : {5, 6, 10})
    {
        auto presence = std::make_shared<FakeCpld>();
        presence->registers[1] = 0x00; // all three channels filled
        world.attach(bus, 0x21, presence);
    }
    for (int bus : {5, 6})
    {
        world.attach(bus, 0x71, std::make_shared<kntest::FakeSwitch>());
        for (int channel = 0; channel < 3; ++channel)
        {
            cards.push_back(std::make_shared<FakeCpld>());
            world.attachBehind(bus, 0x71, channel, 0x23, cards.back());
        }
    }
    cards.push_back(std::make_shared<FakeCpld>());
    world.attach(12, 0x23, cards.back());
    EXPECT_EQ(mp2_card_detect(), 0);
    EXPECT_FALSE(fs::exists(KN_MP2_BUS_MAP));

    // Nine cards: the file has room for eight.
    for (auto& card : cards)
    {
        card->registers[0] = 0xE0 | 26;
    }
    EXPECT_EQ(mp2_card_detect(), 0);
    Bytes expected = {8, 0, 0, 0};
    for (uint8_t bus : {5, 6})
    {
        for (uint8_t channel = 0; channel < 3; ++channel)
        {
            expected.insert(expected.end(), {bus, 0x71, channel, 0});
        }
    }
    expected.insert(expected.end(), {12, 0, 0, 0, 12, 0, 1, 0});
    EXPECT_EQ(readBytes(KN_MP2_BUS_MAP), expected);
    EXPECT_EQ(claims[KN_SHM_MUX_CLAIM_STRIDE * 5 + 0x71], 0);
    EXPECT_EQ(claims[KN_SHM_MUX_CLAIM_STRIDE * 6 + 0x71], 0);
    std::string log = readText(log_path[KN_LOG_ERROR]);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_NE(log.find("channel=2"), std::string::npos) << log;
}

TEST_F(Detection, IoExpansionBoards)
{
    EXPECT_EQ(iox_present_detect(), KN_BP_CPLD_READ_FAILED); // silent CPLD
    EXPECT_FALSE(fs::exists(KN_IOX_BUS_MAP));

    auto cpld = std::make_shared<FakeCpld>(); // every board present
    world.addBus(11);
    world.attach(11, 0x3f, cpld);
    for (int bus : {5, 6})
    {
        auto board = std::make_shared<FakeCpld>();
        board->registers[0] = static_cast<uint8_t>(0x10 + bus); // 0x15, 0x16
        world.addBus(bus);
        world.attach(bus, 0x21, board);
    }
    // No third board on bus 10 and no extension bus of bus 13 known: the
    // lookup's 0 never becomes a transfer on bus 0.
    world.addBus(0);
    world.attach(0, 0x3f, std::make_shared<FakeCpld>());
    EXPECT_EQ(write_cpld_reg(13, 4, 0x3f, 45, 1), KN_BP_OPEN_BUS_FAILED);
    EXPECT_EQ(iox_present_detect(), 0);
    for (const auto& m : world.messages())
    {
        EXPECT_NE(m.bus, 0);
    }
    EXPECT_EQ(
        readBytes(KN_IOX_BUS_MAP),
        (Bytes{2, 0, 0, 0, 5, 0, 0, 0x15, 6, 0, 0, 0x16, 0, 0, 0, 0, 0, 0,
               0, 0, 0, 0, 0, 0, 0, 0,    0, 0, 0, 0,    0, 0, 0, 0, 0, 0}));

    // The third board behind the routing CPLD's bus.
    routing(3, 23)->registers[0] = 0x07;
    EXPECT_EQ(iox_present_detect(), 0);
    Bytes map = readBytes(KN_IOX_BUS_MAP);
    ASSERT_EQ(map.size(), 36u);
    EXPECT_EQ(map[0], 3);
    EXPECT_EQ(Bytes(map.begin() + 12, map.begin() + 16), (Bytes{23, 0, 0, 7}));
    cpld->registers[4] = 0x07; // none present
    fs::remove(KN_IOX_BUS_MAP);
    EXPECT_EQ(iox_present_detect(), 0);
    EXPECT_FALSE(fs::exists(KN_IOX_BUS_MAP));
}

TEST_F(Detection, RiserCard)
{
    auto slot = std::make_shared<FakeCpld>();
    auto card = std::make_shared<FakeCpld>();
    card->registers[0] = 15;
    world.addBus(6);
    world.attach(6, 0x21, slot);
    world.attach(6, 0x71, std::make_shared<kntest::FakeSwitch>());
    world.attachBehind(6, 0x71, 1, 0x23, card);

    const Bytes record = {1, 0, 0, 0, 6, 0x71, 1, 0, 0, 0, 0, 0, 0, 0,
                          0, 0, 0, 0, 0, 0,    0, 0, 0, 0, 0, 0, 0, 0};
    for (uint8_t id : {0x8C, 0x04})
    {
        slot->registers[0] = id;
        fs::remove(KN_RISER_BUS_MAP);
        EXPECT_EQ(riser_card_detect(), 0);
        EXPECT_EQ(readBytes(KN_RISER_BUS_MAP), record) << int{id};
        EXPECT_EQ(claims[KN_SHM_MUX_CLAIM_STRIDE * 6 + 0x71], 0);
    }
    for (uint8_t id : {0x0C, 0x84})
    {
        slot->registers[0] = id;
        fs::remove(KN_RISER_BUS_MAP);
        EXPECT_EQ(single_riser_detect(), 0);
        EXPECT_FALSE(fs::exists(KN_RISER_BUS_MAP)) << int{id};
    }
}

} // namespace
