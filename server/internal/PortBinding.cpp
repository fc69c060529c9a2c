#include "server/internal/PortBinding.h"

#include <fmt/format.h>

namespace busd {

namespace {

constexpr int SearchAttempts = 200;

asio::ip::tcp::acceptor Listen(asio::io_context& io, const asio::ip::address& address, int port,
                               std::error_code& error) {
    asio::ip::tcp::acceptor acceptor(io);
    const asio::ip::tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
    acceptor.open(endpoint.protocol(), error);
    if (!error) {
        // Lets a restarted daemon take its ports back while old connections linger in
        // TIME_WAIT; a port that something listens on still fails in listen.
        acceptor.set_option(asio::socket_base::reuse_address(true), error);
    }
    if (!error) {
        acceptor.bind(endpoint, error);
    }
    if (!error) {
        acceptor.listen(asio::socket_base::max_listen_connections, error);
    }
    return acceptor;
}

// Binds every pair of a run whose bases are known; first, when open, already listens on one
// of the run's ports and takes that slot.
bool BindRun(asio::io_context& io, const asio::ip::address& address, BoundPorts& run, int count,
             asio::ip::tcp::acceptor* first, std::string& error) {
    std::error_code ignored;
    const int firstPort = first != nullptr ? first->local_endpoint(ignored).port() : -1;
    for (int k = 0; k < count; ++k) {
        for (const bool command : {true, false}) {
            const int port = (command ? run.CommandBase : run.StatusBase) + 2 * k;
            auto& list = command ? run.Command : run.Status;
            if (port == firstPort) {
                list.push_back(std::move(*first));
                continue;
            }
            if (port <= 0 || port > 65535) {
                error = fmt::format("port {} out of range", port);
                return false;
            }
            std::error_code failure;
            list.push_back(Listen(io, address, port, failure));
            if (failure) {
                error = fmt::format("cannot listen on {}:{}: {}", address.to_string(), port,
                                    failure.message());
                return false;
            }
        }
    }
    return true;
}

} // namespace

std::optional<BoundPorts> BindPorts(asio::io_context& io, const std::string& address,
                                    int commandBase, int statusBase, int count,
                                    std::string& error) {
    std::error_code failure;
    const asio::ip::address bindAddress = asio::ip::make_address(address, failure);
    if (failure) {
        error = fmt::format("bad bind address '{}': {}", address, failure.message());
        return std::nullopt;
    }
    if (count < 1 || commandBase < 0 || statusBase < 0) {
        error = fmt::format("bad ports: {} bus servers from command port {}, status port {}",
                            count, commandBase, statusBase);
        return std::nullopt;
    }
    if (commandBase != 0 && statusBase != 0) {
        BoundPorts run;
        run.CommandBase = commandBase;
        run.StatusBase = statusBase;
        if (!BindRun(io, bindAddress, run, count, nullptr, error)) {
            return std::nullopt;
        }
        return run;
    }
    for (int attempt = 0; attempt < SearchAttempts; ++attempt) {
        asio::ip::tcp::acceptor probe = Listen(io, bindAddress, 0, failure);
        if (failure) {
            error = fmt::format("cannot listen on {}: {}", address, failure.message());
            return std::nullopt;
        }
        const int picked = probe.local_endpoint(failure).port();
        if (failure) {
            error = fmt::format("cannot read the port picked on {}: {}", address,
                                failure.message());
            return std::nullopt;
        }
        BoundPorts run;
        run.CommandBase = commandBase != 0 ? commandBase : picked;
        run.StatusBase = statusBase != 0 ? statusBase : (commandBase == 0 ? picked + 1 : picked);
        std::string attemptError;
        if (BindRun(io, bindAddress, run, count, &probe, attemptError)) {
            return run;
        }
        // Another socket holds a port of this run (or it runs past 65535): the acceptors
        // close as run goes out of scope, and the next pick starts elsewhere.
    }
    error = fmt::format("no free run of ports for {} bus servers on {}", count, address);
    return std::nullopt;
}

} // namespace busd
