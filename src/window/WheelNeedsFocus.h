#pragma once

class QWidget;

// The steppers, sliders and lists under `root` take the wheel only once the operator has put
// the keyboard in them (a click or Tab); before that a wheel turn over them goes on to what
// holds them, as if they were not there. They write into a live cue or move the show to
// another output, and a hand scrolling past must change neither. Controls added to `root`
// later are not covered.
void takeWheelOnlyWithFocus(QWidget* root);
