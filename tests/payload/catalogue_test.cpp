#include "payload/catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "payload/package.h"

namespace pv::payload {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The embedded images, with any of them replaced by other bytes.
class ReplacedImages final : public ImageSource {
  public:
    ReplacedImages() {
        for (std::size_t i = 0; i < kImageCount; ++i) {
            const auto stored = embeddedImages().image(i);
            images_[i].assign(stored.begin(), stored.end());
        }
    }
    Bytes& operator[](std::size_t index) { return images_[index]; }
    std::span<const std::uint8_t> image(std::size_t index) const override {
        return images_.at(index);
    }

  private:
    std::array<Bytes, kImageCount> images_;
};

// Hands out buffers like the program does, counting them, and fails from the N-th call on.
struct CountingAllocator {
    int calls = 0;
    int failFrom = 1'000;
    BufferAllocator function() {
        return [this](std::uint32_t size) {
            return ++calls >= failFrom ? nullptr : allocateBuffer(size);
        };
    }
};

ImageSelection selecting(std::int32_t main, std::int32_t table) {
    ImageSelection selection;
    selection.mainImageIndex = main;
    selection.tableImageIndex = table;
    return selection;
}

void expectNothingHeld(const ImageSelection& selection) {
    EXPECT_EQ(selection.mainImageData, nullptr);
    EXPECT_EQ(selection.mainImageSize, 0u);
    EXPECT_EQ(selection.tableImageData, nullptr);
    EXPECT_EQ(selection.tableImageSize, 0u);
}

bool holdsCopyOf(const std::shared_ptr<const std::uint8_t[]>& data, std::uint32_t size,
                 std::span<const std::uint8_t> stored) {
    return data != nullptr && size == stored.size() &&
           std::equal(stored.begin(), stored.end(), data.get());
}

// ---- version map and lookup ----

TEST(VersionMapTest, FamiliesInTableOrder) {
    const std::string revisions = "ABCDEFABABCDEFGHABCDEF";
    for (std::size_t row = 0; row < kVersionMapRows; ++row) {
        const VersionMapEntry& entry = kVersionMap[row];
        const std::int32_t family = row < 6 ? 0 : row < 8 ? 1 : row < 16 ? 2 : 3;
        const std::string code = std::string(kImages[static_cast<std::size_t>(family)].version, 3) +
                                 revisions[row] + "10";
        EXPECT_STREQ(entry.code, code.c_str()) << "row " << row;
        EXPECT_EQ(entry.code[7], '\0');
        EXPECT_EQ(entry.mainImageIndex, family);
        EXPECT_EQ(entry.tableImageIndex, family == 0 ? 0 : -1);
    }
}

TEST(FindImagesTest, SelectsByFamilyAndRevision) {
    const FirmwareCatalogue catalogue;
    ImageSelection selection;
    ASSERT_TRUE(catalogue.findImages("503C10", selection));
    EXPECT_EQ(selection.mainImageIndex, 2);
    EXPECT_EQ(selection.tableImageIndex, -1);
    ASSERT_TRUE(catalogue.findImages("301B10", selection));
    EXPECT_EQ(selection.mainImageIndex, 0);
    EXPECT_EQ(selection.tableImageIndex, 0);
    ASSERT_TRUE(catalogue.findImages("402B10", selection));
    EXPECT_EQ(selection.mainImageIndex, 1);
    EXPECT_EQ(selection.tableImageIndex, -1);
}

TEST(FindImagesTest, SixthCharacterIsIgnored) {
    // An already updated printer matches its family's row again.
    const FirmwareCatalogue catalogue;
    for (const char* version : {"301F11", "301F19", "604F11", "503H1"}) {
        ImageSelection selection;
        EXPECT_TRUE(catalogue.findImages(version, selection)) << version;
    }
    ImageSelection selection;
    ASSERT_TRUE(catalogue.findImages("301F11", selection));
    EXPECT_EQ(selection.mainImageIndex, 0);
    EXPECT_EQ(selection.tableImageIndex, 0);
}

TEST(FindImagesTest, UnknownVersionsLeaveTheSelectionUnchanged) {
    const FirmwareCatalogue catalogue;
    for (const char* version :
         {"", "999A10", "301G10", "402C10", "604G10", "30", "503", "301f10", "705B11"}) {
        ImageSelection selection;
        EXPECT_FALSE(catalogue.findImages(version, selection)) << '"' << version << '"';
        EXPECT_EQ(selection.mainImageIndex, -1);
        EXPECT_EQ(selection.tableImageIndex, -1);
    }
    ImageSelection selection = selecting(2, 0);
    EXPECT_FALSE(catalogue.findImages("123A10", selection));
    EXPECT_FALSE(catalogue.findImages(nullptr, selection));
    EXPECT_EQ(selection.mainImageIndex, 2);
    EXPECT_EQ(selection.tableImageIndex, 0);
}

// ---- labels ----

TEST(FillLabelsTest, LabelsNameTheVersionsInstalled) {
    const FirmwareCatalogue catalogue;
    const char* mains[] = {"301F11", "402B11", "503H11", "604F11"};
    for (std::int32_t main = 0; main < 4; ++main) {
        ImageSelection selection = selecting(main, main == 0 ? 0 : -1);
        std::memset(&selection.tableLabelPair, 'x', sizeof selection.tableLabelPair);
        catalogue.fillLabels(selection);
        EXPECT_STREQ(selection.mainLabelPair.version, mains[main]);
        EXPECT_STREQ(selection.mainLabelPair.checksum, "");
        const LabelPair zero = {};
        if (main == 0) {
            EXPECT_STREQ(selection.tableLabelPair.version, "705B11");
            EXPECT_STREQ(selection.tableLabelPair.checksum, "");
        } else {
            EXPECT_EQ(std::memcmp(&selection.tableLabelPair, &zero, sizeof zero), 0);
        }
    }
}

TEST(FillLabelsTest, NoSelectionGivesAllZeroLabels) {
    const FirmwareCatalogue catalogue;
    for (auto [main, table] : {std::pair{-1, -1}, std::pair{4, 1}, std::pair{-7, -2}}) {
        ImageSelection selection = selecting(main, table);
        std::memset(&selection.mainLabelPair, 'x', sizeof selection.mainLabelPair);
        std::memset(&selection.tableLabelPair, 'x', sizeof selection.tableLabelPair);
        catalogue.fillLabels(selection);
        const LabelPair zero = {};
        EXPECT_EQ(std::memcmp(&selection.mainLabelPair, &zero, sizeof zero), 0);
        EXPECT_EQ(std::memcmp(&selection.tableLabelPair, &zero, sizeof zero), 0);
    }
}

// ---- assembly ----

TEST(AssembleImagesTest, MainImageOnlyTakes520MsPerPercent) {
    const FirmwareCatalogue catalogue;
    for (std::int32_t main = 0; main < 4; ++main) {
        ImageSelection selection = selecting(main, -1);
        ASSERT_TRUE(catalogue.assembleImages(selection));
        EXPECT_EQ(selection.msPerPercent, 520u);
        EXPECT_TRUE(holdsCopyOf(selection.mainImageData, selection.mainImageSize,
                                embeddedImages().image(static_cast<std::size_t>(main))));
        EXPECT_EQ(selection.tableImageData, nullptr);
        EXPECT_EQ(selection.tableImageSize, 0u);
    }
}

TEST(AssembleImagesTest, MainAndTableImageTake1355MsPerPercent) {
    const FirmwareCatalogue catalogue;
    ImageSelection selection = selecting(0, 0);
    ASSERT_TRUE(catalogue.assembleImages(selection));
    EXPECT_EQ(selection.msPerPercent, 1'355u);
    EXPECT_TRUE(
        holdsCopyOf(selection.mainImageData, selection.mainImageSize, embeddedImages().image(0)));
    EXPECT_TRUE(holdsCopyOf(selection.tableImageData, selection.tableImageSize,
                            embeddedImages().image(kTableImage)));
    EXPECT_EQ(selection.tableImageSize, 1'238'348u);

    selection.freeImages();
    expectNothingHeld(selection);
    EXPECT_EQ(selection.mainImageIndex, 0);  // freeing keeps the selection itself
}

TEST(AssembleImagesTest, DamagedMainImageIsRefusedBeforeTheTableImage) {
    auto damages = std::vector<void (*)(Bytes&)>{
        [](Bytes& b) { b[1] ^= 0x01; },             // address
        [](Bytes& b) { b[8] ^= 0x04; },             // length
        [](Bytes& b) { b[b.size() / 2] ^= 0x80; },  // data
        [](Bytes& b) { b[b.size() - 3] ^= 0x10; },  // stored sum
        [](Bytes& b) { b.pop_back(); },             // cut-off end
        [](Bytes& b) { b.push_back('E'); },         // one extra byte
        [](Bytes& b) { b.clear(); },                // missing
    };
    for (std::size_t d = 0; d < damages.size(); ++d) {
        ReplacedImages images;
        damages[d](images[0]);
        CountingAllocator allocator;
        const FirmwareCatalogue catalogue(images, allocator.function());
        ImageSelection selection = selecting(0, 0);
        selection.msPerPercent = 7;
        EXPECT_FALSE(catalogue.assembleImages(selection)) << "damage " << d;
        EXPECT_EQ(allocator.calls, 1) << "damage " << d;
        expectNothingHeld(selection);
        EXPECT_EQ(selection.msPerPercent, 7u);
    }
}

TEST(AssembleImagesTest, DamagedTableImageReleasesTheMainImage) {
    ReplacedImages images;
    images[kTableImage][600'000] ^= 0x02;
    const FirmwareCatalogue catalogue(images);
    ImageSelection selection = selecting(0, 0);
    EXPECT_FALSE(catalogue.assembleImages(selection));
    expectNothingHeld(selection);

    // The same damage does not matter when the table image is not selected.
    selection = selecting(1, -1);
    EXPECT_TRUE(catalogue.assembleImages(selection));
}

TEST(AssembleImagesTest, OutOfMemoryLeavesNothingAllocated) {
    for (int failFrom : {1, 2}) {
        CountingAllocator allocator{0, failFrom};
        const FirmwareCatalogue catalogue(embeddedImages(), allocator.function());
        ImageSelection selection = selecting(0, 0);
        EXPECT_FALSE(catalogue.assembleImages(selection)) << "failing call " << failFrom;
        EXPECT_EQ(allocator.calls, failFrom);
        expectNothingHeld(selection);
    }
}

TEST(AssembleImagesTest, ReassemblyReplacesEarlierBuffers) {
    const FirmwareCatalogue catalogue;
    ImageSelection selection = selecting(0, 0);
    ASSERT_TRUE(catalogue.assembleImages(selection));
    selection.mainImageIndex = 3;
    selection.tableImageIndex = -1;
    ASSERT_TRUE(catalogue.assembleImages(selection));
    EXPECT_EQ(selection.mainImageSize, 482'390u);
    EXPECT_EQ(selection.tableImageData, nullptr);
    EXPECT_EQ(selection.tableImageSize, 0u);
    EXPECT_EQ(selection.msPerPercent, 520u);
}

// Downloads at once share each checked copy while they hold it; a later one copies afresh.
TEST(AssembleImagesTest, SelectionsHeldAtOnceShareTheirCopies) {
    CountingAllocator allocator;
    const FirmwareCatalogue catalogue(embeddedImages(), allocator.function());
    ImageSelection first = selecting(0, 0);
    ImageSelection second = selecting(0, -1);
    ASSERT_TRUE(catalogue.assembleImages(first));
    ASSERT_TRUE(catalogue.assembleImages(second));
    EXPECT_EQ(allocator.calls, 2);
    EXPECT_EQ(second.mainImageData, first.mainImageData);
    first.freeImages();
    second.freeImages();
    ASSERT_TRUE(catalogue.assembleImages(second));
    EXPECT_EQ(allocator.calls, 3);
}

}  // namespace
}  // namespace pv::payload
