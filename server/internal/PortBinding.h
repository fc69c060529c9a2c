#pragma once

#include <asio.hpp>

#include <optional>
#include <string>
#include <vector>

namespace busd {

struct BoundPorts {
    int CommandBase = 0;
    int StatusBase = 0;
    std::vector<asio::ip::tcp::acceptor> Command;
    std::vector<asio::ip::tcp::acceptor> Status;
};

// Listens on count pairs of ports: command base + 2k and status base + 2k. A base of 0 is
// searched: the system picks a free port P, the run is P, P + 2, ... (and with both bases 0,
// status ports P + 1, P + 3, ...), and a run with a port already taken is given up for a new
// P. Nothing stays bound when it fails; error then says why.
std::optional<BoundPorts> BindPorts(asio::io_context& io, const std::string& address,
                                    int commandBase, int statusBase, int count,
                                    std::string& error);

} // namespace busd
