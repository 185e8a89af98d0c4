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

// The job's file settings: whether folders are walked and how deep, and the allowed and
// ignored patterns with their regular-expression switches. Edits go straight into the job.
// The window keeps the job it was last given (it shares it), so after New or Open it goes
// on editing the previous job until File Settings is chosen again.
//
// Threading: main thread only.
class FilesConfigWindow : public QDialog {
    Q_OBJECT
public:
    explicit FilesConfigWindow(QWidget* parent = nullptr);

    void setCurrentJob(std::shared_ptr<PortJob> job);
    PortJob* currentJob() const { return m_job.get(); }

private:
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
