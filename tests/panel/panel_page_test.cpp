// The panel's page as served: every script it is built from (the shared mm plot, the jobs and MDI
// part, the panel's own) put in place, no markup sink that a program's name, a refusal or an MDI
// line could reach, and the jobs and MDI controls each with a name a screen reader can say.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "panel_commands.h"

namespace {

TEST(PanelPage, ScriptsAllInPlaceAndSetDataAsTextOnly) {
  const std::string page = panel::PageHtml();
  EXPECT_EQ(page.find("/*steplink:script*/"), std::string::npos);
  EXPECT_EQ(page.find("/*steplink:style*/"), std::string::npos);
  // The jobs part and the plot come before panel.js, which calls them when it starts.
  const auto plot = page.find("const plotMm =");
  const auto jobs = page.find("function panelJobs(");
  const auto main = page.find("panelJobs({");
  ASSERT_NE(plot, std::string::npos);
  ASSERT_NE(jobs, std::string::npos);
  ASSERT_NE(main, std::string::npos);
  EXPECT_LT(plot, jobs);
  EXPECT_LT(jobs, main);
  for (const char* sink : {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write",
                           "eval(", "new Function"}) {
    EXPECT_EQ(page.find(sink), std::string::npos) << sink;
  }
  EXPECT_EQ(page.find("src=\"http"), std::string::npos) << "the page loads nothing from elsewhere";
}

// Inputs and selects of the jobs and MDI sections are named by a <label for=...>.
TEST(PanelPage, JobAndMdiFieldsAreLabelled) {
  const std::string page = panel::PageHtml();
  for (const char* id : {"job-pick", "from-line", "mdi-line"}) {
    EXPECT_NE(page.find(std::string("id=\"") + id + "\""), std::string::npos) << id;
    EXPECT_NE(page.find(std::string("<label for=\"") + id + "\">"), std::string::npos) << id;
  }
  // Buttons without text need an aria-label: none of the jobs part is empty.
  const std::regex emptyButton(R"(<button[^>]*>\s*</button>)");
  EXPECT_FALSE(std::regex_search(page, emptyButton));
}

}  // namespace
