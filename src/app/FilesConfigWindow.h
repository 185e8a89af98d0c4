#pragma once

#include <QDialog>
#include <memory>

class QCheckBox;
class QLineEdit;
class QSpinBox;

namespace kestrap {
class JobDocument;
enum class JobSetting;
}  // namespace kestrap

namespace kestrap::app {

class AppController;

// The job's file settings: whether folders are walked and how deep, and the allowed and
// ignored patterns with their regular-expression switches. Edits go straight into the
// controller's current document, and the window follows it when New or Open replaces it.
//
// Threading: main thread only.
class FilesConfigWindow : public QDialog {
    Q_OBJECT
public:
    explicit FilesConfigWindow(AppController& controller, QWidget* parent = nullptr);

    JobDocument* currentDocument() const { return m_document.get(); }

private:
    void setCurrentDocument(std::shared_ptr<JobDocument> document);
    void reload();
    void settingChanged(JobSetting which);

    std::shared_ptr<JobDocument> m_document;
    QMetaObject::Connection m_connection;
    QCheckBox* m_recursive = nullptr;
    QSpinBox* m_depth = nullptr;
    QLineEdit* m_allowed = nullptr;
    QCheckBox* m_allowedRegex = nullptr;
    QLineEdit* m_ignored = nullptr;
    QCheckBox* m_ignoredRegex = nullptr;
};

}  // namespace kestrap::app
