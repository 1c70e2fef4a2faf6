#include "window/ViewController.h"

// The menu commands arrive here through the notification names registered at start-up. Their
// work (list commands, import, duplicate, remove, editor, reset) comes with the commands; until
// then a command that has nothing to do yet leaves the list as it is.

void ViewController::closeWindowMenuButton() {}
void ViewController::duplicateTrackMenuButton() {}
void ViewController::duplicateWithoutOptionsMenuButton() {}
void ViewController::addTrackMenuButton() {}
void ViewController::removeTrackMenuButton() {}
void ViewController::saveMenuButton() {
    saveList();
}
void ViewController::moveAudioUpMenuButton() {}
void ViewController::moveAudioDownMenuButton() {}
void ViewController::volUpMenuButton() {}
void ViewController::volDownMenuButton() {}
void ViewController::editAudioMenuButton() {}
void ViewController::resetCX() {}
