#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "model/CXAudio.h"
#include "model/CueNumbers.h"
#include "model/ListFile.h"
#include "support/TempHome.h"

using nlohmann::json;

namespace {

class CueRecord : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.isolated()) << home.isolationProblem();
        home.storeTone("cue.wav", 1.5);
    }
    TempHome home;
};

json fullElement() {
    return json{{"fileName", "cue.wav"}, {"audioTitle", "Walk In"}, {"volumeLevel", 0.8},
                {"repeatCount", -1},     {"fadeIn", true},          {"fadeOut", true},
                {"fadeInLength", 1.25},  {"fadeOutLength", 4.5},    {"persistThrough", true},
                {"persistDelay", 2.0},   {"extendPlay", true},      {"extendDelay", 0.75},
                {"panAudio", -0.3},      {"startTime", 0.2},        {"endTime", 1.1},
                {"moveSelection", true}};
}

}  // namespace

TEST_F(CueRecord, FileNameConstructorGivesFreshOptionsAndTheFileLength) {
    home.storeTone("Act 2 Intro.wav", 0.5);
    const auto cue = CXAudio::fromFileName("Act 2 Intro.wav");
    EXPECT_EQ(cue->fileName, "Act 2 Intro.wav");
    EXPECT_EQ(cue->audioTitle, "Act 2 Intro");
    EXPECT_EQ(cue->volumeLevel, 1.0f);
    EXPECT_EQ(cue->panAudio, 0.0f);
    EXPECT_EQ(cue->repeatCount, 0);
    EXPECT_EQ(cue->fadeInLength, 3.0);
    EXPECT_EQ(cue->fadeOutLength, 3.0);
    EXPECT_FALSE(cue->fadeIn || cue->fadeOut || cue->persistThrough || cue->extendPlay ||
                 cue->moveSelection || cue->fadingIn || cue->fadingOut);
    EXPECT_NEAR(cue->endTime, 0.5, 1e-3);
    EXPECT_EQ(cue->endTime, cue->player->duration());
    EXPECT_FALSE(cue->player->isPlaying());

    home.storeTone("two.dots.flac.wav", 0.2);
    EXPECT_EQ(CXAudio::fromFileName("two.dots.flac.wav")->audioTitle, "two.dots.flac");
}

TEST_F(CueRecord, ThrowingConstructorsPrintAndRaiseFileFailed) {
    testfiles::writeAll(storage::storedFilePath("notes.wav"), "these are not samples");
    for (const std::string name : {"missing.wav", "notes.wav"}) {
        CaptureStdout out;
        try {
            CXAudio::fromFileName(name);
            ADD_FAILURE() << name << " made a cue";
        } catch (const CXError& e) {
            EXPECT_EQ(e.code(), CXError::fileFailed);
        }
        EXPECT_EQ(out.text(), "Failed to create audio player\n");
    }
    CaptureStdout out;
    EXPECT_THROW(CXAudio::fromJSON(json{{"fileName", "missing.wav"}}), CXError);
    EXPECT_EQ(out.text(), "Failed to create audio player\n");
}

TEST_F(CueRecord, PlaceholderHoldsNoFileAndZeros) {
    const CXAudio cue;
    ASSERT_NE(cue.player, nullptr);
    EXPECT_EQ(cue.player->duration(), 0.0);
    EXPECT_TRUE(cue.fileName.empty() && cue.audioTitle.empty());
    EXPECT_EQ(cue.volumeLevel, 0.0f);
    EXPECT_EQ(cue.fadeInLength, 0.0);  // unlike a list element without the key
    EXPECT_EQ(cue.endTime, 0.0);
    EXPECT_FALSE(cue.fadeIn || cue.fadingIn || cue.fadingOut);
}

TEST_F(CueRecord, ElementSetsUpThePlayerFromItsOptions) {
    const auto cue = CXAudio::fromJSON(fullElement());
    EXPECT_EQ(cue->player->numberOfLoops(), -1);
    EXPECT_EQ(cue->player->volume(), 0.8f);
    EXPECT_EQ(cue->player->pan(), -0.3f);
    EXPECT_EQ(cue->endTime, 1.1);
    EXPECT_FALSE(cue->fadingIn || cue->fadingOut);
}

TEST_F(CueRecord, MissingKeysTakeTheirDefaults) {
    const auto cue = CXAudio::fromJSON(json{{"fileName", "cue.wav"}, {"unknown", 7}});
    EXPECT_EQ(cue->audioTitle, "error");
    EXPECT_EQ(cue->volumeLevel, 1.0f);
    EXPECT_EQ(cue->repeatCount, 0);
    EXPECT_EQ(cue->fadeInLength, 3.0);
    EXPECT_EQ(cue->fadeOutLength, 3.0);
    EXPECT_EQ(cue->persistDelay, 0.0);
    EXPECT_EQ(cue->extendDelay, 0.0);
    EXPECT_EQ(cue->panAudio, 0.0f);
    EXPECT_EQ(cue->startTime, 0.0);
    EXPECT_EQ(cue->endTime, cue->player->duration());
    EXPECT_NEAR(cue->endTime, 1.5, 1e-3);
    EXPECT_FALSE(cue->fadeIn || cue->fadeOut || cue->persistThrough || cue->extendPlay ||
                 cue->moveSelection);
}

TEST_F(CueRecord, WrongTypesCountAsMissing) {
    const auto cue = CXAudio::fromJSON(json{{"fileName", "cue.wav"},
                                            {"audioTitle", 12},
                                            {"volumeLevel", "0.5"},
                                            {"repeatCount", nullptr},
                                            {"fadeIn", 1},
                                            {"fadeOut", "true"},
                                            {"fadeInLength", json::array({1})},
                                            {"fadeOutLength", json::object()},
                                            {"persistThrough", 1.0},
                                            {"panAudio", "left"},
                                            {"endTime", "0.3"},
                                            {"moveSelection", nullptr}});
    EXPECT_EQ(cue->audioTitle, "error");
    EXPECT_EQ(cue->volumeLevel, 1.0f);
    EXPECT_EQ(cue->repeatCount, 0);
    EXPECT_FALSE(cue->fadeIn);
    EXPECT_FALSE(cue->fadeOut);
    EXPECT_FALSE(cue->persistThrough);
    EXPECT_FALSE(cue->moveSelection);
    EXPECT_EQ(cue->fadeInLength, 3.0);
    EXPECT_EQ(cue->fadeOutLength, 3.0);
    EXPECT_EQ(cue->panAudio, 0.0f);
    EXPECT_EQ(cue->endTime, cue->player->duration());
}

TEST_F(CueRecord, NumbersTakeTrueAndFalseAndRepeatCountTruncates) {
    auto element = fullElement();
    element["volumeLevel"] = false;
    element["fadeInLength"] = true;
    element["repeatCount"] = 2.9;
    EXPECT_EQ(CXAudio::fromJSON(element)->volumeLevel, 0.0f);
    EXPECT_EQ(CXAudio::fromJSON(element)->fadeInLength, 1.0);
    EXPECT_EQ(CXAudio::fromJSON(element)->repeatCount, 2);
    element["repeatCount"] = -2.9;
    EXPECT_EQ(CXAudio::fromJSON(element)->repeatCount, -2);
    element["repeatCount"] = true;
    EXPECT_EQ(CXAudio::fromJSON(element)->repeatCount, 1);
    element["repeatCount"] = 1e300;  // out of range must not be undefined
    EXPECT_EQ(CXAudio::fromJSON(element)->repeatCount, std::numeric_limits<int64_t>::max());
    element["volumeLevel"] = 0.1;  // narrowed to 32 bits
    EXPECT_EQ(CXAudio::fromJSON(element)->volumeLevel, 0.1f);
    // Beyond a float's range: infinite as read, never an undefined conversion.
    element["volumeLevel"] = 1e39;
    element["panAudio"] = -1e300;
    EXPECT_EQ(CXAudio::fromJSON(element)->volumeLevel, std::numeric_limits<float>::infinity());
    EXPECT_EQ(CXAudio::fromJSON(element)->panAudio, -std::numeric_limits<float>::infinity());
}

TEST_F(CueRecord, ElementThatIsNoObjectLooksForAFileNamedError) {
    for (const json& element :
         {json(nullptr), json(3), json::array({fullElement()}), json{{"fileName", 5}}}) {
        CaptureStdout out;
        EXPECT_THROW(CXAudio::fromJSON(element), CXError) << element.dump();
        EXPECT_EQ(out.text(), "Failed to create audio player\n");
    }
    home.storeTone("error", 0.2);
    const auto cue = CXAudio::fromJSON(json("not an object"));
    EXPECT_EQ(cue->fileName, "error");
    EXPECT_EQ(cue->audioTitle, "error");
}

TEST_F(CueRecord, CopyHasEveryOptionAndAPlayerOfItsOwn) {
    const auto source = CXAudio::fromJSON(fullElement());
    source->fadingIn = source->fadingOut = true;
    const auto copy = CXAudio::copyOf(*source);
    auto expected = source->toJSON();
    EXPECT_EQ(copy->toJSON(), expected);
    EXPECT_FALSE(copy->fadingIn || copy->fadingOut);
    EXPECT_NE(copy->player.get(), source->player.get());
    EXPECT_EQ(copy->player->volume(), 0.8f);
    EXPECT_EQ(copy->player->numberOfLoops(), -1);

    std::remove(storage::storedFilePath("cue.wav").c_str());
    CaptureStdout out;
    EXPECT_THROW(CXAudio::copyOf(*source), CXError);
    EXPECT_EQ(out.text(), "Failed to create audio player\n");
}

TEST_F(CueRecord, EveryFieldSurvivesTheListFile) {
    const auto cue = CXAudio::fromJSON(fullElement());
    cue->cueNumber = "12A";
    cue->notes = "Open the radio mic\n“slowly”";
    cue->color = "#e0a030";
    // Values with no short binary form in either width.
    cue->volumeLevel = 0.7f;
    cue->panAudio = 1.0f / 3.0f;
    cue->startTime = 0.1 + 0.2;
    cue->endTime = 1.0 / 3.0;
    cue->fadeInLength = 1e-7;
    cue->persistDelay = 123456.789012345;
    cue->repeatCount = 9007199254740993;  // not representable as a double
    const auto text = listfile::text({cue});
    const auto parsed = listfile::parse(text);
    ASSERT_TRUE(parsed && parsed->size() == 1);
    const auto back = CXAudio::fromJSON((*parsed)[0]);
    EXPECT_EQ(back->fileName, cue->fileName);
    EXPECT_EQ(back->audioTitle, cue->audioTitle);
    EXPECT_EQ(back->volumeLevel, cue->volumeLevel);
    EXPECT_EQ(back->repeatCount, cue->repeatCount);
    EXPECT_EQ(back->fadeIn, cue->fadeIn);
    EXPECT_EQ(back->fadeOut, cue->fadeOut);
    EXPECT_EQ(back->fadeInLength, cue->fadeInLength);
    EXPECT_EQ(back->fadeOutLength, cue->fadeOutLength);
    EXPECT_EQ(back->persistThrough, cue->persistThrough);
    EXPECT_EQ(back->persistDelay, cue->persistDelay);
    EXPECT_EQ(back->extendPlay, cue->extendPlay);
    EXPECT_EQ(back->extendDelay, cue->extendDelay);
    EXPECT_EQ(back->panAudio, cue->panAudio);
    EXPECT_EQ(back->startTime, cue->startTime);
    EXPECT_EQ(back->endTime, cue->endTime);
    EXPECT_EQ(back->moveSelection, cue->moveSelection);
    EXPECT_EQ(back->cueNumber, cue->cueNumber);
    EXPECT_EQ(back->notes, cue->notes);
    EXPECT_EQ(back->color, cue->color);
    EXPECT_EQ(back->toJSON().size(), 19u);
    EXPECT_EQ(listfile::text({back}), text);
}

TEST_F(CueRecord, CueNumbersStayUniqueAndOldListsReadOneTwoThree) {
    // A list from before numbers, then one with a number typed unquoted, an unfit one, and one
    // used twice.
    CueList list;
    for (int i = 0; i < 3; ++i) list.push_back(CXAudio::fromJSON(fullElement()));
    EXPECT_EQ(cuenumbers::assignMissing(list), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(list[2]->cueNumber, "3");
    auto element = fullElement();
    const std::vector<json> numbers{json(3.5), json("a/b"), json(" 2 "), json("2"), json(7)};
    list.clear();
    for (const json& number : numbers) {
        element["cueNumber"] = number;
        list.push_back(CXAudio::fromJSON(element));
    }
    EXPECT_EQ(list[0]->cueNumber, "3.5");
    EXPECT_EQ(list[1]->cueNumber, "");
    EXPECT_EQ(list[4]->cueNumber, "7");
    EXPECT_EQ(cuenumbers::assignMissing(list), (std::vector<int>{1, 3}));
    std::vector<std::string> got;
    for (const auto& cue : list) got.push_back(cue->cueNumber);
    EXPECT_EQ(got, (std::vector<std::string>{"3.5", "3", "2", "4", "7"}));

    EXPECT_EQ(cuenumbers::nextFree(list, 0), "5");  // after 3.5: 4 is taken
    EXPECT_EQ(cuenumbers::nextFree(list, -1), "1");
    EXPECT_EQ(cuenumbers::rowOf(list, "7"), 4);
    EXPECT_EQ(cuenumbers::renumbered(list, {1, 3}, "10", "0.5"),
              (std::vector<std::string>{"10", "10.5"}));
    EXPECT_EQ(cuenumbers::renumbered(list, {0, 1}, "2", "5"), std::vector<std::string>{})
        << "2 belongs to a cue outside the selection";
    EXPECT_EQ(cuenumbers::renumbered(list, {0}, "1e3", "1"), std::vector<std::string>{});
    // Undo restores the number with the other fields; notes and colour are kept only when set.
    const json fields = list[0]->toJSON();
    list[0]->cueNumber = "99";
    list[0]->notes = "x";
    list[0]->restoreFields(fields);
    EXPECT_EQ(list[0]->cueNumber, "3.5");
    EXPECT_EQ(list[0]->notes, "");
    EXPECT_EQ(fields.count("notes") + fields.count("color"), 0u);
}

TEST_F(CueRecord, ThirtyTwoBitFieldsAreWrittenShort) {
    const auto cue = CXAudio::fromFileName("cue.wav");
    cue->volumeLevel = 0.8f;
    cue->panAudio = -0.1f;
    const std::string text = cue->toJSON().dump();
    const auto numberAfter = [&](const std::string& key) {
        const auto at = text.find("\"" + key + "\":");
        if (at == std::string::npos) return std::string();
        const auto from = at + key.size() + 3;
        return text.substr(from, text.find_first_of(",}", from) - from);
    };
    EXPECT_EQ(numberAfter("volumeLevel"), "0.8");
    EXPECT_EQ(numberAfter("panAudio"), "-0.1");
}

TEST_F(CueRecord, ListFileTextForNoneOneAndTwoCues) {
    EXPECT_EQ(listfile::text({}), "[]");

    const auto a = CXAudio::fromFileName("cue.wav");
    const auto b = CXAudio::fromJSON(fullElement());
    const std::string one = listfile::text({a});
    EXPECT_EQ(one.rfind("[{\n", 0), 0u);
    EXPECT_EQ(one.substr(one.size() - 3), "\n}]");
    EXPECT_EQ(one.find("},{"), std::string::npos);
    EXPECT_EQ(one.substr(3, 3), "  \"") << "keys on their own indented lines";

    const std::string two = listfile::text({a, b});
    const auto joint = two.find("},{");
    ASSERT_NE(joint, std::string::npos);
    EXPECT_EQ(two.find("},{", joint + 1), std::string::npos);
    EXPECT_EQ(two.substr(0, joint + 1), one.substr(0, one.size() - 1));
    EXPECT_NE(two.back(), '\n');
    const auto parsed = listfile::parse(two);
    ASSERT_TRUE(parsed && parsed->is_array() && parsed->size() == 2);
    EXPECT_EQ((*parsed)[1]["audioTitle"], "Walk In");
}

TEST(ListFileParse, OnlyAnArrayOrObjectIsAList) {
    EXPECT_FALSE(listfile::parse(""));
    EXPECT_FALSE(listfile::parse("5"));
    EXPECT_FALSE(listfile::parse("\"[]\""));
    EXPECT_FALSE(listfile::parse("null"));
    EXPECT_FALSE(listfile::parse("[1,]"));
    EXPECT_FALSE(listfile::parse("[] []"));
    EXPECT_TRUE(listfile::parse(" \n[ {\"a\" :1} ,\t2 ]\n"));
    EXPECT_TRUE(listfile::parse("{}"));
}

TEST_F(CueRecord, RouteIsKeptOnlyWhenNotTheDefault) {
    // A list written before routing reads as outputs 1-2 at full level and writes back as it was.
    const auto plain = CXAudio::fromJSON(fullElement());
    EXPECT_EQ(plain->outputs, (cueroute::Outputs{1, 2}));
    EXPECT_EQ(plain->outputLevels, (cueroute::Levels{0.0, 0.0}));
    const std::string old = listfile::text({plain});
    EXPECT_EQ(listfile::text({CXAudio::fromJSON((*listfile::parse(old))[0])}), old);
    EXPECT_EQ(old.find("output"), std::string::npos);

    auto element = fullElement();
    element["outputs"] = {3, 3};
    element["outputLevels"] = {-6.5, -120};
    const auto routed = CXAudio::fromJSON(element);
    EXPECT_EQ(routed->outputs, (cueroute::Outputs{3, 3}));
    EXPECT_EQ(routed->outputLevels, (cueroute::Levels{-6.5, -60.0}));  // held to the range
    const json written = routed->toJSON();
    EXPECT_EQ(written["outputs"], json({3, 3}));
    EXPECT_EQ(written["outputLevels"], json({-6.5, -60.0}));
    EXPECT_EQ(CXAudio::copyOf(*routed)->toJSON(), written);
    // Undo gives back fields without the keys: that is the default again.
    routed->restoreFields(plain->toJSON());
    EXPECT_EQ(routed->outputs, (cueroute::Outputs{1, 2}));
    EXPECT_EQ(routed->toJSON(), plain->toJSON());

    for (const json& bad : {json(nullptr), json("3-4"), json({3}), json({3, 4, 5}), json({0, 2}),
                            json({1, 65}), json({2.5, 3}), json({"3", 4})}) {
        element["outputs"] = bad;
        element["outputLevels"] = bad;
        const auto cue = CXAudio::fromJSON(element);
        EXPECT_EQ(cue->outputs, (cueroute::Outputs{1, 2})) << bad.dump();
        EXPECT_EQ(cue->toJSON().count("outputs"), 0u) << bad.dump();
    }
    element["outputs"] = {64, 1.0};
    element["outputLevels"] = {3, -1};
    EXPECT_EQ(CXAudio::fromJSON(element)->outputs, (cueroute::Outputs{64, 1}));
    EXPECT_EQ(CXAudio::fromJSON(element)->outputLevels, (cueroute::Levels{0.0, -1.0}));
}
