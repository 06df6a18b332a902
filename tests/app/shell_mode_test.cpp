#include <gtest/gtest.h>

#include "app/qt/shell_mode.h"

namespace talvex {
namespace {

ShellEnvironment Env(QByteArray qpa, QByteArray display, QByteArray wayland) {
  ShellEnvironment env;
  env.qpaPlatform = std::move(qpa);
  env.display = std::move(display);
  env.waylandDisplay = std::move(wayland);
  return env;
}

TEST(ShellMode, NoDisplayRunsHeadless) {
  EXPECT_FALSE(ChooseShellMode(Env("", "", "")).desktop);
  EXPECT_FALSE(ChooseShellMode(Env("  ", "", "")).desktop);
  EXPECT_FALSE(ChooseShellMode(Env(";", "", "")).desktop);
}

TEST(ShellMode, DisplaysPickTheirPluginsWithTheFallbackLast) {
  const ShellMode x11 = ChooseShellMode(Env("", ":0", ""));
  EXPECT_TRUE(x11.desktop);
  EXPECT_EQ(x11.platforms, QStringLiteral("xcb;minimal"));
  EXPECT_TRUE(x11.headlessOnFallback);

  const ShellMode wayland = ChooseShellMode(Env("", ":1", "wayland-0"));
  EXPECT_EQ(wayland.platforms, QStringLiteral("wayland;xcb;minimal"));

  const ShellMode waylandOnly = ChooseShellMode(Env("", "", "wayland-0"));
  EXPECT_EQ(waylandOnly.platforms, QStringLiteral("wayland;minimal"));
}

TEST(ShellMode, ChosenPlatformIsKeptEvenWithoutADisplay) {
  const ShellMode offscreen = ChooseShellMode(Env("offscreen", "", ""));
  EXPECT_TRUE(offscreen.desktop);
  EXPECT_EQ(offscreen.platforms, QStringLiteral("offscreen;minimal"));
  EXPECT_TRUE(offscreen.headlessOnFallback);

  const ShellMode list = ChooseShellMode(Env(" wayland ; xcb ", ":0", ""));
  EXPECT_EQ(list.platforms, QStringLiteral("wayland;xcb;minimal"));
}

TEST(ShellMode, AskingForTheFallbackPluginByNameIsADesktop) {
  const ShellMode minimal = ChooseShellMode(Env("minimal", "", ""));
  EXPECT_TRUE(minimal.desktop);
  EXPECT_EQ(minimal.platforms, QStringLiteral("minimal"));
  EXPECT_FALSE(minimal.headlessOnFallback);

  const ShellMode withOptions = ChooseShellMode(Env("vnc;minimal:enable_fonts", "", ""));
  EXPECT_EQ(withOptions.platforms, QStringLiteral("vnc;minimal:enable_fonts"));
  EXPECT_FALSE(withOptions.headlessOnFallback);
}

}  // namespace
}  // namespace talvex
