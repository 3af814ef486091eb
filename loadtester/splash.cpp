#include "loadtester/splash.h"

#include <QApplication>
#include <QLabel>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTextEdit>
#include <QTimer>

#include "platform/qt/qtext.h"
#include "platform/ui/dialogs.h"

std::string versionstr;

const char* const kHomepage = "https://brontavel.example.org/";

namespace {

constexpr int kWidth = 678;
constexpr int kHeight = 260;
constexpr int kSplashHeight = 235;

// The product's logo: rising bars under a timing curve.
QPixmap Logo(int w, int h) {
  QPixmap pm(w, h);
  pm.fill(Qt::white);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  QRect box(10, 10, w - 20, h - 20);
  QLinearGradient bg(box.topLeft(), box.bottomLeft());
  bg.setColorAt(0, QColor(225, 235, 250));
  bg.setColorAt(1, QColor(190, 205, 235));
  p.setPen(QColor(40, 60, 120));
  p.setBrush(bg);
  p.drawRoundedRect(box, 18, 18);
  const int n = 6;
  int bw = box.width() / (n * 2);
  for (int i = 0; i < n; ++i) {
    int bh = (box.height() - 50) * (i + 2) / (n + 2);
    QRect bar(box.left() + bw / 2 + i * bw * 2 + bw / 2, box.bottom() - 14 - bh, bw, bh);
    QLinearGradient g(bar.topLeft(), bar.bottomLeft());
    g.setColorAt(0, QColor(120, 220, 120));
    g.setColorAt(1, QColor(0, 128, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRect(bar);
  }
  QPainterPath curve;
  curve.moveTo(box.left() + 8, box.bottom() - 30);
  curve.cubicTo(box.center().x(), box.bottom() - 40, box.center().x(), box.top() + 60, box.right() - 8,
                box.top() + 24);
  p.setPen(QPen(QColor(200, 0, 0), 4));
  p.setBrush(Qt::NoBrush);
  p.drawPath(curve);
  return pm;
}

void Centre(QWidget* w) {
  QScreen* s = QGuiApplication::primaryScreen();
  if (!s) return;
  QRect a = s->availableGeometry();
  w->move(a.left() + (a.width() - w->width()) / 2, a.top() + (a.height() - w->height()) / 2);
}

}  // namespace

TForm1::TForm1(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("About Brontavel"));
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, Qt::white);
  setPalette(pal);
  setFixedSize(kWidth, kHeight);

  Label1 = new QLabel(QStringLiteral("Anso's Brontavel"), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  QFont title;
  title.setStyleHint(QFont::SansSerif);
  title.setBold(true);
  title.setPixelSize(27);
  Label1->setFont(title);
  Label1->setAlignment(Qt::AlignCenter);
  Label1->setGeometry(5, 32, 460, 32);

  Label2 = new QLabel(this);
  Label2->setObjectName(QStringLiteral("Label2"));
  Label2->setAlignment(Qt::AlignCenter);
  Label2->setGeometry(5, 68, 460, 13);
  Label2->setMinimumHeight(13);

  Memo1 = new QTextEdit(this);
  Memo1->setObjectName(QStringLiteral("Memo1"));
  Memo1->setGeometry(5, 88, 460, 97);
  Memo1->setFrameStyle(QFrame::NoFrame);
  Memo1->setReadOnly(true);
  Memo1->setEnabled(false);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  QPalette mp = Memo1->palette();
  for (auto g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    mp.setColor(g, QPalette::Base, Qt::white);
    mp.setColor(g, QPalette::Text, Qt::black);
  }
  Memo1->setPalette(mp);

  Image2 = new QLabel(this);
  Image2->setObjectName(QStringLiteral("Image2"));
  Image2->setGeometry(476, 12, 201, 189);
  Image2->setPixmap(Logo(201, 189));

  BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("OK"), this);
  BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
  BitBtn1->setGeometry(588, 184, 75, 25);
  BitBtn1->setDefault(true);
  connect(BitBtn1, &QPushButton::clicked, this, [this] { plat::Safely([this] { accept(); }); });

  BitBtn2 = new QPushButton(QStringLiteral("Homepage"), this);
  BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
  BitBtn2->setGeometry(504, 184, 75, 25);
  connect(BitBtn2, &QPushButton::clicked, this, [this] { plat::Safely([this] { BitBtn2Click(); }); });

  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setInterval(3000);
  Timer1->setTimerType(Qt::PreciseTimer);  // a coarse timer may fire 5 % early
  connect(Timer1, &QTimer::timeout, this, [this] { plat::Safely([this] { Timer1Timer(); }); });
  Timer1->start();

  // A click on the title, the version line, the picture or the text closes
  // the box; the disabled text passes its clicks on to the box itself.
  for (QLabel* w : {Label1, Label2, Image2}) w->installEventFilter(this);

  Centre(this);
  plat::Safely([this] { FormCreate(); });
}

void TForm1::FormCreate() {
  Memo1->setPlainText(QStringLiteral(
      "Brontavel measures how fast a web server answers many users at once.\n"
      "Freeware: use it, copy it and pass it on free of charge,\n"
      "at your own risk and without warranty of any kind.\n"
      "Questions, ideas and bug reports are welcome:\n"
      "see the homepage for how to reach the author."));
  QTextCursor c(Memo1->document());
  c.select(QTextCursor::Document);
  QTextBlockFormat centred;
  centred.setAlignment(Qt::AlignHCenter);
  c.mergeBlockFormat(centred);
  Label2->setText(plat::ToQ("Version " + versionstr));
}

void TForm1::Timer1Timer() { accept(); }

void TForm1::Memo1Click() { accept(); }

void TForm1::BitBtn2Click() { plat::ShellOpen(kHomepage); }

void TForm1::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) {
    plat::Safely([this] { Memo1Click(); });
    e->accept();
    return;
  }
  QDialog::mousePressEvent(e);
}

bool TForm1::eventFilter(QObject* watched, QEvent* e) {
  if (e->type() == QEvent::MouseButtonPress && static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton) {
    plat::Safely([this] { Memo1Click(); });
    return true;
  }
  return QDialog::eventFilter(watched, e);
}

void ShowSplash() {
  TForm1 box;
  box.Timer1->stop();
  box.Timer1->start();
  box.setFixedHeight(kSplashHeight);
  box.BitBtn1->hide();
  box.BitBtn2->hide();
  Centre(&box);
  box.exec();
}

void ShowAboutBox(QWidget* parent) {
  TForm1 box(parent);
  box.Timer1->stop();
  box.setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  Centre(&box);
  box.exec();
}
