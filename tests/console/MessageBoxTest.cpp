// Message boxes are plain: an OK button without an icon, in the font of the
// window that owns them; the same through the dialogs that show them.
#include "CDlgParameterSet.h"
#include "CDlgPassword.h"
#include "MessageBox.h"

#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

// Whether a box's OK button carried an icon under the desktop-like style,
// before the panel's look was installed (ReadoutTest.cpp's main).
extern bool g_okIconBeforeLook;

namespace {

struct BoxSeen {
    bool shown = false;
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool okHasIcon = true;
    QFont font;
    QFont labelFont;
    QWidget* owner = nullptr;
};

BoxSeen Look(QMessageBox* box)
{
    const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    return {true,
            box->windowTitle(),
            box->text(),
            box->icon(),
            !box->button(QMessageBox::Ok)->icon().isNull(),
            box->font(),
            label ? label->font() : QFont(),
            box->parentWidget()};
}

// Runs `action`, which opens a modal box, notes the box and answers OK.
BoxSeen AnswerBox(const std::function<void()>& action)
{
    BoxSeen seen;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible())
            return;
        poll.stop();
        seen = Look(box);
        box->button(QMessageBox::Ok)->click();
    });
    poll.start();
    action();
    return seen;
}

void ExpectOwnersFont(const BoxSeen& box, const QWidget& owner)
{
    EXPECT_EQ(box.font, owner.font());
    EXPECT_EQ(QFontInfo(box.labelFont).family(), QFontInfo(owner.font()).family());
    EXPECT_EQ(box.labelFont.pixelSize(), owner.font().pixelSize());
}

TEST(MessageBox, PlainOkInTheOwnersFontWithDetails)
{
    // The desktop's style puts a tick on OK; the panel's look takes it off.
    EXPECT_TRUE(g_okIconBeforeLook);

    QWidget owner;
    QFont serif(QStringLiteral("Times New Roman"));
    serif.setStyleHint(QFont::Serif);
    serif.setPixelSize(16);
    owner.setFont(serif);
    auto* child = new QLineEdit(&owner);

    // Owned by a control, the box still takes its window's font.
    auto box = MakeMessageBox(QStringLiteral("Quorvan-Master"), QMessageBox::NoIcon,
                              QStringLiteral("Failed to open COM-Port!"),
                              QStringLiteral("COM1 (/dev/ttyUSB0): Permission denied"), child);
    const BoxSeen seen = Look(box.get());
    EXPECT_EQ(seen.caption, QStringLiteral("Quorvan-Master"));
    EXPECT_EQ(seen.text, QStringLiteral("Failed to open COM-Port!"));
    EXPECT_EQ(box->detailedText(), QStringLiteral("COM1 (/dev/ttyUSB0): Permission denied"));
    EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
    EXPECT_EQ(seen.owner, child);
    EXPECT_FALSE(seen.okHasIcon);
    ExpectOwnersFont(seen, owner);

    auto bare = MakeMessageBox(QStringLiteral("Error"), QMessageBox::Critical,
                               QStringLiteral("Password is error!"), QString(), &owner);
    EXPECT_TRUE(bare->detailedText().isEmpty());
    EXPECT_EQ(bare->icon(), QMessageBox::Critical);
    EXPECT_TRUE(bare->button(QMessageBox::Ok)->icon().isNull());
}

TEST(MessageBox, TheDialogsRefusalsArePlainInTheirFonts)
{
    CDlgParameterSet parameters(Settings{30000, 1000, 300, 0});
    parameters.show();
    const BoxSeen refusal = AnswerBox([&] {
        qobject_cast<QPushButton*>(parameters.Control(CDlgParameterSet::IDOK_BUTTON))->click();
    });
    ASSERT_TRUE(refusal.shown);
    EXPECT_EQ(refusal.icon, QMessageBox::Warning);
    EXPECT_EQ(refusal.owner, &parameters);
    EXPECT_FALSE(refusal.okHasIcon);
    ExpectOwnersFont(refusal, parameters);

    CDlgPassword password;
    password.show();
    qobject_cast<QLineEdit*>(password.Control(CDlgPassword::IDC_PASSWORD))
        ->setText(QStringLiteral("wrong"));
    const BoxSeen wrong = AnswerBox(
        [&] { qobject_cast<QPushButton*>(password.Control(CDlgPassword::IDOK_BUTTON))->click(); });
    ASSERT_TRUE(wrong.shown);
    EXPECT_EQ(wrong.caption, QStringLiteral("Error"));
    EXPECT_EQ(wrong.icon, QMessageBox::Critical);
    EXPECT_FALSE(wrong.okHasIcon);
    ExpectOwnersFont(wrong, password);
}

}  // namespace
