#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "engine/accounting.h"
#include "engine/list_columns.h"
#include "metrics/exposition.h"
#include "reports/csv_report.h"
#include "report_fixture.h"
#include "tests/support/account_packet.h"
#include "tests/support/engine_fakes.h"

namespace sondrel {
namespace {

using testing::ip;

// A program named to clear the screen and turn what follows around shows
// the same visible text in the list, the report and the metrics.
TEST(VisibleNames, AHostileProgramNameReadsTheSameEverywhere) {
    const std::uint32_t local = ip("192.168.1.10");
    auto records = std::make_shared<RecordsState>();
    testing::FakeOwners owners;
    owners.labels[5000] = u"/tmp/a\x1b[2Jb\u202Egpj.exe";
    testing::RecordingResolvers resolvers;
    std::atomic<std::uint32_t> localAddress{local};
    LocalAddresses localAddresses{localAddress};
    TrafficAccountant accountant{records, owners, resolvers, localAddresses};
    AccountPacket(accountant, local, ip("203.0.113.5"), 100, 443, 5000, 6);
    AccountPacket(accountant, ip("203.0.113.5"), local, 40, 5000, 443, 6);
    MainLists lists(records);
    lists.RefreshApplications();

    const std::u16string visible = u"/tmp/a\\x1b[2Jb<U+202E>gpj.exe";
    ASSERT_EQ(lists.applications().rowCount(), 1u);
    EXPECT_EQ(lists.applications().text(0, AppName), visible);

    const testing::TempDir dir;
    ReportWriter writer;
    ASSERT_TRUE(writer.open(dir.file("report.csv")));
    ReportLines(writer, lists, u",");
    ASSERT_TRUE(writer.close());
    EXPECT_NE(testing::readBytes(dir.file("report.csv")).find("\r\n" + u16ToUtf8(visible) + ",100,40,"),
              std::string::npos);

    const std::string exposition = MetricsExposition().render(takeMetricsSnapshot(*records, CaptureStatus{}));
    EXPECT_NE(exposition.find("{application=\"/tmp/a\\\\x1b[2Jb<U+202E>gpj.exe\"} 100\n"), std::string::npos);
}

}  // namespace
}  // namespace sondrel
