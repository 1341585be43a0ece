#pragma once

class QCoreApplication;
class QTranslator;

// Installs Qt's own German texts (the standard buttons "Ja", "Nein", "Abbrechen",
// "Schließen", the context menus of the entry fields) from Qt's translations folder,
// so that nothing in the German window reads English. Called before the first window.
// Returns the installed translator (owned by the application), or nullptr when the
// translations are not installed: Qt's texts then stay English.
QTranslator* InstallGermanQtTexts(QCoreApplication& application);
