#include <QApplication>

#include <memory>

#include "MainWindow.h"
#include "startup.h"

int main(int argc, char** argv) {
    Pallix::Bake::SetProgramStyle();
    QApplication application(argc, argv);
    return Pallix::Bake::RunProgram(QCoreApplication::applicationDirPath(),
                                    [](Pallix::Bake::EventReporter& reporter, Pallix::Bake::SettingsStore& store) {
                                        return std::make_unique<Pallix::Bake::MainWindow>(&reporter, &store);
                                    });
}
