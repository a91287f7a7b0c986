#include <gtest/gtest.h>

#include <QLabel>

#include "app/about.h"
#include "app/mainwindow.h"
#include "common/state.h"
#include "testsupport.h"

#ifndef EXPECT_ADVANCED_EDITION
#define EXPECT_ADVANCED_EDITION 0
#endif

// The edition is a build-time constant; this file is built once for each edition.
TEST(Edition, CaptionsAndAboutBoxFollowTheBuild)
{
    DataDir dir;
    RecordingMessages messages;
    setCurrentLanguage(0);
    MainWindow f(dir.path(), nullptr, NowherePort);
    const bool advanced = EXPECT_ADVANCED_EDITION;
    EXPECT_EQ(f.session().edition(), advanced ? EditionAdvanced : EditionCustomer);
    EXPECT_EQ(f.passwordStore().edition(), f.session().edition());
    EXPECT_EQ(f.windowTitle(), advanced ? QString("Tarvello(高级用户版)") : QString("Tarvello(客户版)"));
    f.languageSelected(1);
    EXPECT_EQ(f.windowTitle(), advanced ? QString("Tarvello V2.0 (Advance User)") : QString("Tarvello V2.0 (Customer)"));
    f.aboutForm()->showAbout();
    EXPECT_EQ(f.aboutForm()->editionLabel->text(), advanced ? QString("Advance User ") : QString("Customer "));
    f.aboutForm()->close();
    f.languageSelected(0);
    f.aboutForm()->showAbout();
    EXPECT_EQ(f.aboutForm()->editionLabel->text(), advanced ? QString("高级用户版 ") : QString("客户版 "));
}
