#include <gtest/gtest.h>

#include "tests/message_box_catcher.h"

// The catcher is what keeps message tests from hanging; check it against
// Wine's real message boxes before anything relies on it.
TEST(MessageBoxCatcher, ReadsTheTextAndPressesTheButton) {
    MessageBoxCatcher catcher("Warning", IDOK);
    int result = MessageBoxA(nullptr, "first line\n\tsecond line", "Warning", MB_OK);
    EXPECT_EQ(IDOK, result);
    ASSERT_TRUE(catcher.caught());
    EXPECT_EQ("first line\n\tsecond line", catcher.text());
}

TEST(MessageBoxCatcher, AnswersAQuestion) {
    MessageBoxCatcher catcher("Quillarvent", IDNO);
    EXPECT_EQ(IDNO, MessageBoxA(nullptr, "Remove?", "Quillarvent", MB_YESNO));
    EXPECT_EQ("Remove?", catcher.text());
}

TEST(MessageBoxCatcher, GivesUpWhenNoBoxAppears) {
    MessageBoxCatcher catcher("Never shown", IDOK, 100);
    EXPECT_FALSE(catcher.caught());
    EXPECT_EQ("", catcher.text());
}
