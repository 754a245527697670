#include "main_window/overflow_guard.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <atomic>

#include "support/user_texts.h"

namespace velune {
namespace {

constexpr int kOverflowStatus = 6;

void showBoxAndEnd() {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Velune"),
                    QString::fromUtf8(kOverflowMessage), QMessageBox::Ok);
    box.exec();
    QCoreApplication::exit(kOverflowStatus);
}

std::atomic<OverflowReport> currentReport{showBoxAndEnd};

}  // namespace

void reportOverflow() { currentReport.load()(); }

void setOverflowReport(OverflowReport report) {
    currentReport.store(report != nullptr ? report : showBoxAndEnd);
}

}  // namespace velune
