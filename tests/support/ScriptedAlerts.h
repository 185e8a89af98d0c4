#pragma once

#include "app/AlertPresenter.h"
#include "app/FilePanels.h"

#include <deque>
#include <functional>
#include <vector>

// Answers alerts from a script and keeps what was asked. An alert nobody scripted answers
// the second button (0), like a box that was dismissed.
class ScriptedAlerts : public kestrap::app::AlertPresenter {
public:
    kestrap::app::AlertAnswer present(const kestrap::app::AlertRequest& request) override
    {
        asked.push_back(request);
        if (whileAsking)
            whileAsking();
        if (answers.empty())
            return {};
        const auto a = answers.front();
        answers.pop_front();
        return a;
    }
    void answer(int code, bool ticked = false) { answers.push_back({code, ticked}); }
    QString lastMessage() const { return asked.empty() ? QString() : asked.back().message; }

    std::vector<kestrap::app::AlertRequest> asked;
    std::deque<kestrap::app::AlertAnswer> answers;
    std::function<void()> whileAsking;  // runs while an alert "is up"
};

// Panels that choose what the test says.
class ScriptedPanels : public kestrap::app::FilePanels {
public:
    QString openJobFile(QWidget*) override
    {
        ++opened;
        return openPath;
    }
    QString saveJobFile(QWidget*) override
    {
        ++saved;
        return savePath;
    }
    QStringList chooseFiles(QWidget*) override
    {
        ++chosen;
        return choose;
    }
    QString chooseFolder(QWidget*) override
    {
        ++chosen;
        return folder;
    }
    QString saveReportFile(QWidget*) override { return reportPath; }
    QString openPath, savePath, folder, reportPath;
    QStringList choose;
    int opened = 0, saved = 0, chosen = 0;
};
