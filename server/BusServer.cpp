#include "server/BusServer.h"

#include "server/internal/Hub.h"

namespace busd {

BusServer::BusServer(BusServerOptions options) : m_Options(std::move(options)) {}

BusServer::~BusServer() { Stop(); }

bool BusServer::Start() {
    if (m_Hub && m_Hub->IsRunning()) {
        return false;
    }
    m_Hub = std::make_unique<Hub>(m_Options);
    if (!m_Hub->Start()) {
        m_Hub.reset();
        return false;
    }
    return true;
}

void BusServer::Stop() {
    if (m_Hub) {
        m_Hub->Stop();
    }
}

bool BusServer::IsRunning() const { return m_Hub && m_Hub->IsRunning(); }

int BusServer::CommandPort() const { return m_Hub ? m_Hub->CommandBase() : 0; }

int BusServer::StatusPort() const { return m_Hub ? m_Hub->StatusBase() : 0; }

int BusServer::CommandPort(int k) const { return CommandPort() + 2 * k; }

int BusServer::StatusPort(int k) const { return StatusPort() + 2 * k; }

int BusServer::NbOfBUSServer() const { return m_Options.NbOfBUSServer; }

BusStats BusServer::Stats() const { return m_Hub ? m_Hub->Stats() : BusStats{}; }

BusStats BusServer::Stats(int k) const { return m_Hub ? m_Hub->Stats(k) : BusStats{}; }

std::optional<std::vector<ConnectionInfo>>
BusServer::Connections(std::chrono::milliseconds wait) const {
    return m_Hub ? m_Hub->Connections(wait) : std::nullopt;
}

} // namespace busd
