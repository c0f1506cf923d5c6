// fileprovider::Manager: how a host reaches an extension's service — the stand-in
// for NSFileProviderManager's service lookup. The framework publishes one lookup
// socket per domain; a host connects to it and gets the listener endpoint of the
// named service on the domain's root item.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Result.h"
#include "platform/xpc/ListenerEndpoint.h"

namespace fileprovider::Manager {

// <runtime dir>/domains/<base64url of the identifier>.sock. An identifier too long
// for a socket address is named by its SHA-256 instead.
std::filesystem::path domainSocketPath(const std::string& domainIdentifier);

using ServiceCompletion =
    std::function<void(std::optional<xpc::ListenerEndpoint> endpoint, std::optional<foundation::Error> error)>;

// Asks the framework for service `serviceName` of the domain. The completion runs
// exactly once, on another thread: with the endpoint, or with the error (the
// link's error when the framework cannot be reached).
void getService(const std::string& domainIdentifier, const std::string& serviceName, ServiceCompletion completion);

// getService, waiting at most `timeout` for the answer.
foundation::Result<xpc::ListenerEndpoint> getServiceSync(const std::string& domainIdentifier,
                                                         const std::string& serviceName,
                                                         std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The error a lookup answers when the domain offers no service of that name.
foundation::Error noSuchServiceError(const std::string& serviceName, const std::string& domainIdentifier);

}  // namespace fileprovider::Manager
