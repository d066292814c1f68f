#pragma once

#include <QDialog>
#include <QString>

namespace Pallix::Bake {

class EventReporter;
class SettingsStore;

// The end-user agreement as the program ships it.
QString AgreementText();

// The end-user agreement. As the first-start gate it has Accept and Reject buttons; as a viewer
// (no store, no reporter) it only shows the text. Deletes itself when closed.
class EULAWindow : public QDialog {
    Q_OBJECT
public:
    // The viewer.
    explicit EULAWindow(QWidget* parent = nullptr);
    // The gate when withButtons is set; accepting records the agreement in store.
    EULAWindow(SettingsStore* store, EventReporter* reporter, bool withButtons, QWidget* parent = nullptr);

signals:
    // The agreement is stored and synced; the receiver builds and shows the main window with
    // these two before the gate goes.
    void licenseAccepted(Pallix::Bake::EventReporter* reporter, Pallix::Bake::SettingsStore* store);

public slots:
    void acceptLicense();
    // Quits the program.
    void rejectLicense();

private:
    SettingsStore* store = nullptr;
    EventReporter* reporter = nullptr;
};

}  // namespace Pallix::Bake
