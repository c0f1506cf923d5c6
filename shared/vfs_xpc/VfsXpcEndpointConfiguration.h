// Constants of the host link's endpoint.
#pragma once

namespace corvane::VfsXpcEndpointConfiguration {

// The service name under which the extension's service source is published and
// by which the host asks for it.
inline constexpr const char* fileProviderServiceName = "io.corvane.mac.vfs-host";

}  // namespace corvane::VfsXpcEndpointConfiguration
