#include "storage_commands.hpp"

#include "output.hpp"

#include <cstring>
#include <iostream>
#include <mutex>

namespace arrayscout
{

std::string deviceText(const std::string& raw)
{
    std::string text = raw.substr(0, raw.find('\0'));
    for (char& c : text)
    {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7e)
        {
            c = '?';
        }
    }
    return text;
}

int callLibrary(StorageCommand& cmd)
{
    static std::mutex libraryLock;
    std::lock_guard guard(libraryLock);
    return ProcessLibCommand(&cmd);
}

StorageCommand makeCommand(const CommandSpec& spec, uint32_t controllerId,
                           void* data, uint32_t dataSize)
{
    StorageCommand cmd;
    std::memset(&cmd, 0, sizeof(cmd));
    cmd.commandType = spec.type;
    cmd.commandCode = spec.code;
    cmd.controllerId = controllerId;
    if (dataSize != 0)
    {
        cmd.dataSize = dataSize;
        cmd.data = data;
    }
    return cmd;
}

void putParameter(StorageCommand& cmd, std::size_t recordOffset,
                  std::size_t width, uint64_t value)
{
    constexpr std::size_t first = offsetof(StorageCommand, parameters);
    if (recordOffset < first ||
        recordOffset + width > first + sizeof(cmd.parameters))
    {
        return;
    }
    for (std::size_t i = 0; i < width; ++i)
    {
        cmd.parameters[recordOffset - first + i] =
            static_cast<uint8_t>(value >> (8 * i));
    }
}

int sendCommand(const CommandSpec& spec, uint32_t controllerId,
                ByteBuffer& buffer)
{
    StorageCommand cmd = makeCommand(spec, controllerId, buffer.data(),
                                     static_cast<uint32_t>(buffer.size()));
    return callLibrary(cmd);
}

int getCtrlInfo(int controllerId, ByteBuffer& info)
{
    int status = sendCommand(command::getCtrlInfo,
                             static_cast<uint32_t>(controllerId), info);
    if (status != 0)
    {
        std::cout << "SL_GET_CTRL_INFO : ProcessLibCommandCall fail!!!!!!!"
                  << std::endl;
        printErr("SL_GET_CTRL_INFO : ctrlID: %d ProcessLibCommandCall fail "
                 "with val: 0x%x \n",
                 controllerId, static_cast<unsigned>(status));
        return 2;
    }
    return 0;
}

int getPdInfo(int controllerId, int deviceId, ByteBuffer& info)
{
    StorageCommand cmd =
        makeCommand(command::getPdInfo, static_cast<uint32_t>(controllerId),
                    info.data(), static_cast<uint32_t>(info.size()));
    putParameter(cmd, 8, 2, static_cast<uint16_t>(deviceId));
    if (callLibrary(cmd) != 0)
    {
        std::cout << "SL_GET_PD_INFO : ProcessLibCommand fail!!!!!!!"
                  << std::endl;
        std::cerr << "SL_GET_PD_INFO : ProcessLibCommand fail!!!!!!!\n";
        return 2;
    }
    std::cout << "SL_GET_PD_INFO : ProcessLibCommand success" << std::endl;
    std::cerr << "SL_GET_PD_INFO : ProcessLibCommand success\n";
    return 0;
}

int getConfigSummary(int controllerId, uint32_t& size)
{
    ByteBuffer summary(command::configSummary.dataSize);
    int status = sendCommand(command::configSummary,
                             static_cast<uint32_t>(controllerId), summary);
    if (status == 0)
    {
        size = summary.u32(0);
    }
    return status;
}

} // namespace arrayscout
