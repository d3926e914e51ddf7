#include "serial/network_transport.h"

namespace velmora {
namespace {

// Stands in for network ports in a build without them: every call is refused
// with the reason, so a command naming one ends at once and says why.
class UnsupportedNetworkTransport final : public Transport {
public:
    explicit UnsupportedNetworkTransport(std::string name) : name_(std::move(name)) {}

    const std::string& name() const override { return name_; }
    Status open(const LineSettings&) override { return refusal(); }
    bool isOpen() const override { return false; }
    Status configure(const LineSettings&) override { return refusal(); }
    const LineSettings& settings() const override { return settings_; }
    Status send(const std::uint8_t*, std::size_t, Deadline) override { return refusal(); }
    Status waitForInput(Deadline) override { return refusal(); }
    std::size_t available() override { return 0; }
    Status take(std::uint8_t*, std::size_t, std::size_t& taken) override {
        taken = 0;
        return refusal();
    }
    Status drain(Deadline) override { return refusal(); }
    Status discardInput() override { return refusal(); }
    Status setModemLine(ModemLine, bool) override { return refusal(); }
    void close() override {}

private:
    Status refusal() const {
        return Status::refused("Cannot open " + name_ +
                               ": rfc2217 ports are not supported by this build");
    }

    std::string name_;
    LineSettings settings_;
};

} // namespace

std::unique_ptr<Transport> makeNetworkTransport(const std::string& name) {
    return std::make_unique<UnsupportedNetworkTransport>(name);
}

} // namespace velmora
