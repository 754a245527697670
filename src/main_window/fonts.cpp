#include "main_window/fonts.h"

#include <QFont>
#include <QStringList>

namespace velune {

void installFontSubstitutes() {
    QFont::insertSubstitutions(QString::fromUtf8(kSongFace),
                               {QStringLiteral("AR PL UMing CN"), QStringLiteral("Noto Serif CJK SC"),
                                QStringLiteral("AR PL SungtiL GB"), QStringLiteral("SimSun"),
                                QStringLiteral("Noto Sans CJK SC"),
                                QStringLiteral("WenQuanYi Zen Hei")});
    QFont::insertSubstitutions(QString::fromUtf8(kArialFace),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("Arimo")});
}

}  // namespace velune
