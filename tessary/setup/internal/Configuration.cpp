#include "tessary/setup/internal/Configuration.h"

#include "tessary/setup/internal/Ini.h"

#include <atomic>
#include <cstring>

namespace {

// Atomics so that a receiver reading a port never races the one-time write, though nothing
// orders the two: a receiver constructed before SystemInit sees the defaults.
std::atomic<int32_t> g_DefCommandPort{Configuration::DefaultCommandPort};
std::atomic<int32_t> g_DefStatusPort{Configuration::DefaultStatusPort};
std::atomic<int32_t> g_NbOfBUSServer{Configuration::DefaultNbOfBUSServer};
std::atomic<int32_t> g_MaxFrameBytes{Configuration::DefaultMaxFrameBytes};
std::atomic<uint32_t> g_InitialisingThread{0};
// Written by SystemInit only, before anything reads it.
char g_SystemPath[Configuration::SystemPathSize] = {};

} // namespace

int32_t Configuration::DefCommandPort() {
    return g_DefCommandPort.load(std::memory_order_relaxed);
}

int32_t Configuration::DefStatusPort() {
    return g_DefStatusPort.load(std::memory_order_relaxed);
}

int32_t Configuration::NbOfBUSServer() {
    return g_NbOfBUSServer.load(std::memory_order_relaxed);
}

int32_t Configuration::MaxFrameBytes() {
    return g_MaxFrameBytes.load(std::memory_order_relaxed);
}

DString Configuration::SystemPath() {
    return DString(g_SystemPath);
}

uint32_t Configuration::InitialisingThread() {
    return g_InitialisingThread.load();
}

void Configuration::SetDefaults(int32_t commandPort, int32_t statusPort, int32_t nbOfBUSServer) {
    g_DefCommandPort.store(commandPort, std::memory_order_relaxed);
    g_DefStatusPort.store(statusPort, std::memory_order_relaxed);
    g_NbOfBUSServer.store(nbOfBUSServer, std::memory_order_relaxed);
}

void Configuration::SetMaxFrameBytes(int32_t bytes) {
    g_MaxFrameBytes.store(bytes > 0 ? bytes : DefaultMaxFrameBytes, std::memory_order_relaxed);
}

void Configuration::SetSystemPath(const char* path) {
    std::strncpy(g_SystemPath, path ? path : "", SystemPathSize - 1);
    g_SystemPath[SystemPathSize - 1] = '\0';
}

void Configuration::SetInitialisingThread(uint32_t threadId) {
    g_InitialisingThread.store(threadId);
}

BUSServerSettings ReadBUSServerIni(const char* iniPath) {
    CIni ini(iniPath, Configuration::IniSection);
    BUSServerSettings settings;
    settings.CommandPort = ini.GetInt("CommandPort", Configuration::DefaultCommandPort);
    settings.StatusPort = ini.GetInt("StatusPort", Configuration::DefaultStatusPort);
    settings.NbOfBUSServer = ini.GetInt("NbOfBUSServer", Configuration::DefaultNbOfBUSServer);
    settings.MaxFrameBytes = ini.GetInt("MaxFrameBytes", Configuration::DefaultMaxFrameBytes);
    return settings;
}
