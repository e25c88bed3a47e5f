// Property: showing any record and capturing it again without edits changes
// nothing but what the form normalises (the FAT total-sectors rule and the zero
// high halves of NTFS's 64-bit fields).
#include "ui_fixture.h"
#include "form_rules.h"
#include "ui/form.h"

#include <random>

namespace {

using RoundTrip = MainWindow;

Record Random(std::mt19937& random)
{
    Record r{};
    for (auto& b : r)
        b = static_cast<std::uint8_t>(random());
    // Half the records carry a small 16-bit total, as real small volumes do.
    if (random() % 2)
        r[20] = 0;
    return r;
}

TEST_F(RoundTrip, DisplayThenCaptureKeepsEveryOtherByte)
{
    std::mt19937 random(20261208);
    for (std::uint8_t kind : {FsKindFat12, FsKindFat16, FsKindFat32, FsKindNtfs, FsKindNone}) {
        for (int n = 0; n < 400; ++n) {
            const Record before = Random(random);
            Load(before);
            FsKind = kind;
            RecordToForm();
            FormToRecord();
            const Record expected = Normalised(before, kind);
            ASSERT_EQ(Bytes(), expected) << "kind " << int(kind) << " record " << n << ":\n"
                                         << Differences(expected, Bytes());
        }
    }
}

} // namespace
