// Every view of the auxiliary state follows the Z latch: the record ("aux TICK none"), the status
// block (-1), the record reader and plot, and the runner's summary, once a Z byte replaced the
// auxiliary byte.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "outputs/plot.h"
#include "outputs/record.h"
#include "run_support.h"
#include "sim/config.h"
#include "sim/simulated_table.h"
#include "sim/table_model.h"
#include "status/status_view.h"

namespace fs = std::filesystem;

namespace {

using test::ReadFile;

void Latch(sim::PortBackend& table, std::uint8_t value) {
  table.Out(sim::dataPort, value);
  table.Out(sim::controlPort, 1);
  table.Out(sim::controlPort, 0);
}

TEST(AuxFollowsZLatch, RecordStatusBlockReaderAndPlotShowNoAuxStateAfterAZByte) {
  const std::string name = "steplink-auxtest-" + std::to_string(getpid());
  const fs::path record = fs::temp_directory_path() / (name + ".rec");
  const sim::ConfigResult parsed = sim::ParseSimConfig(
      "clock=virtual,access-ticks=120,record=" + record.string() + ",status=" + name);
  ASSERT_TRUE(parsed.config);
  std::string error;
  auto table = sim::MakeSimulatedTable(*parsed.config, error);
  ASSERT_TRUE(table) << error;
  status::StatusView view;
  ASSERT_TRUE(view.Open(name));

  Latch(*table, 0x87);  // aux 1
  ASSERT_TRUE(view.ReadTable());
  EXPECT_EQ(view.ReadTable()->auxState, 1);
  Latch(*table, 0x80 | sim::stepPatterns[1]);  // a Z step replaces it
  table->DeviceClosed();
  EXPECT_EQ(view.ReadTable()->auxState, -1);
  EXPECT_EQ(view.ReadTable()->positionZ, 1);

  EXPECT_EQ(ReadFile(record),
            "# steplink sim record 1\n"
            "aux 240 1\n"
            "aux 600 none\n"
            "step 600 z + 1\n");
  const tool::Record read = tool::ReadRecordFile(record.string());
  EXPECT_TRUE(read.errors.empty());
  ASSERT_EQ(read.aux.size(), 2u);
  EXPECT_EQ(read.aux[1].state, tool::noAuxState);
  EXPECT_EQ(read.aux[1].tick, 600u);
  std::ostringstream svg;
  tool::WritePlotSvg(read, "aux", svg);
  EXPECT_NE(svg.str().find("aux none"), std::string::npos);

  table.reset();
  fs::remove(record);
}

TEST(AuxFollowsZLatch, RunnerSummarySaysNoneSetAfterAZMove) {
  const fs::path dir = fs::temp_directory_path() / ("steplink-auxrun-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "job.steplink")
      << "openConn\ninitTimer\nvectorOut 0 0 32000\nvectorOut 0 0 4\ncloseConn\n";
  const std::string command = std::string(STEPLINK_RUNNER) + " run " +
                              (dir / "job.steplink").string() + " >" + (dir / "out.txt").string() +
                              " 2>&1";
  const int status = std::system(command.c_str());
  const std::string out = ReadFile(dir / "out.txt");
  EXPECT_EQ(WEXITSTATUS(status), 0) << out;
  EXPECT_NE(out.find("vectorOut 0 0 32000 -> 1"), std::string::npos) << out;
  EXPECT_NE(out.find("aux state  none set"), std::string::npos) << out;
  EXPECT_NE(out.find("position   x 0  y 0  z 4"), std::string::npos) << out;
  fs::remove_all(dir);
}

}  // namespace
