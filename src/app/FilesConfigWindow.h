#pragma once

#include <QDialog>
#include <memory>

class QCheckBox;
class QLineEdit;
class QSpinBox;

namespace kestrap {
class PortJob;
enum class JobSetting;
}  // namespace kestrap

namespace kestrap::app {

class AppController;

// The job's file settings: whether folders are walked and how deep, and the allowed and
// ignored patterns with their regular-expression switches. Edits go straight into the
// controller's current job, and the window follows it when New or Open replaces it.
//
// Threading: main thread only.
class FilesConfigWindow : public QDialog {
    Q_OBJECT
public:
    explicit FilesConfigWindow(AppController& controller, QWidget* parent = nullptr);

    PortJob* currentJob() const { return m_job.get(); }

private:
    void setCurrentJob(std::shared_ptr<PortJob> job);
    void reload();
    void settingChanged(JobSetting which);

    std::shared_ptr<PortJob> m_job;
    QMetaObject::Connection m_connection;
    QCheckBox* m_recursive = nullptr;
    QSpinBox* m_depth = nullptr;
    QLineEdit* m_allowed = nullptr;
    QCheckBox* m_allowedRegex = nullptr;
    QLineEdit* m_ignored = nullptr;
    QCheckBox* m_ignoredRegex = nullptr;
};

}  // namespace kestrap::app
