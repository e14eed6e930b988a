// The spec command handlers' test fixture: a scratch directory with a template image, a
// registry, the composed lines and a window locator that finds what the test says.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/spec_commands.h"
#include "tests/commands/template_files.h"

namespace tavrik::test {

struct FakeWindow {
  bool found = false;
  WindowLookup failure = WindowLookup::kNotFound;
  WindowOrigin origin{};
  std::int32_t dpi = kDefaultDpi;
  std::vector<std::u16string> calls;
};

class SpecCommandsTest : public ::testing::Test {
 protected:
  SpecCommandsTest()
      : log_([this](std::string_view line) { lines_.emplace_back(line); }),
        context_{registry_, log_, dir_.Path(),
                 [this](std::u16string_view name, WindowOrigin& origin, std::int32_t* dpi) {
                   window_.calls.emplace_back(name);
                   if (!window_.found) return window_.failure;
                   origin = window_.origin;
                   if (dpi != nullptr) *dpi = window_.dpi;
                   return WindowLookup::kFound;
                 }} {
    cv::Mat image(12, 16, CV_8UC3, cv::Scalar(40, 90, 200));
    image(cv::Rect(4, 3, 8, 6)).setTo(cv::Scalar(250, 250, 250));
    dir_.WriteImage("ok.png", image);
  }

  static SpecCommand Command(std::u16string name, std::u16string path = u"ok.png") {
    SpecCommand c;
    c.processName = u"Game.EXE";
    c.name = std::move(name);
    c.path = std::move(path);
    c.roiX = 10;
    c.roiY = 20;
    c.roiWidth = 64;
    c.roiHeight = 48;
    c.threshold = 0.9f;
    return c;
  }

  TemplatePtr Only(const std::string& name) const {
    for (const auto& t : registry_.SnapshotTemplates()) {
      if (t->name == name) return t;
    }
    return nullptr;
  }

  ScratchDir dir_;
  TemplateRegistry registry_;
  std::vector<std::string> lines_;
  LogSink log_;
  FakeWindow window_;
  SpecContext context_;
};

}  // namespace tavrik::test
