// Bundle values come from the build (version, build number, configuration) and
// from the running program (executable name).
#include <errno.h>

#include <gtest/gtest.h>

#include "platform/foundation/Bundle.h"

namespace {

TEST(Bundle, InformationDictionaryCarriesTheBuildsValues) {
  const foundation::Bundle& bundle = foundation::Bundle::main();
  EXPECT_EQ(bundle.bundleIdentifier(), "io.corvane.fileprovider");
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleIdentifier"), "io.corvane.fileprovider");
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleShortVersionString"), CORVANE_TEST_VERSION);
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleVersion"), CORVANE_TEST_BUILD_NUMBER);
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleExecutable"),
            std::string(program_invocation_short_name));
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleName"), std::nullopt);
}

TEST(Bundle, ArchitectureAndConfigurationNameTheBuildTarget) {
#if defined(__x86_64__)
  EXPECT_EQ(foundation::Bundle::architectureName(), "x86_64");
#elif defined(__aarch64__)
  EXPECT_EQ(foundation::Bundle::architectureName(), "aarch64");
#endif
  EXPECT_EQ(foundation::Bundle::buildConfiguration(), CORVANE_TEST_BUILD_CONFIGURATION);
}

}  // namespace
