#include "MainWindow.h"

#include <sys/stat.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCompleter>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>

#include "AboutBox.h"
#include "Binding.h"
#include "FileProber.h"
#include "Icons.h"
#include "KeptList.h"
#include "MediaFiles.h"
#include "OptionsDialog.h"
#include "PreviewPane.h"
#include "ProbeColumns.h"
#include "QualityLevels.h"
#include "SeekBar.h"
#include "SizeEstimate.h"
#include "Translation.h"
#include "UserDialogs.h"
#include "VolumeLevels.h"

namespace {

QStringList Patterns(std::string_view list) {
  QStringList patterns;
  for (const QString& p : QString::fromUtf8(list.data(), static_cast<qsizetype>(list.size()))
                              .split(';', Qt::SkipEmptyParts)) {
    if (!p.trimmed().isEmpty()) patterns << p.trimmed();
  }
  return patterns;
}

QToolButton* CommandButton(const QString& caption, TIconKind icon, QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setText(caption);
  button->setIcon(CommandIcon(icon));
  button->setIconSize(QSize(24, 24));
  button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  button->setAutoRaise(true);
  button->setFocusPolicy(Qt::StrongFocus);
  QFont bold = button->font();
  bold.setBold(true);
  button->setFont(bold);
  button->setAccessibleName(caption.trimmed());
  return button;
}

QFrame* Separator(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::VLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

void ChooseSelectedListItem(QComboBox* combo);

// A drop-down list with its label; the list is named after the label for screen readers.
QComboBox* LabelledCombo(QGridLayout* grid, int row, const QString& caption, QWidget* parent) {
  auto* label = new QLabel(caption, parent);
  auto* combo = new QComboBox(parent);
  label->setBuddy(combo);
  combo->setAccessibleName(caption.trimmed().remove(QRegularExpression("\\s*:$")));
  combo->setMinimumContentsLength(16);
  combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  grid->addWidget(label, row, 0);
  grid->addWidget(combo, row, 1);
  ChooseSelectedListItem(combo);
  return combo;
}

// An item selected in the list of a closed drop-down (as assistive technology selects it)
// becomes the drop-down's choice, as if it had been picked from the opened list.
void ChooseSelectedListItem(QComboBox* combo) {
  QAbstractItemView* view = combo->view();
  QObject::connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, combo,
                   [combo, view] {
                     if (view->isVisible()) return;
                     const QModelIndexList rows = view->selectionModel()->selectedRows();
                     if (rows.size() == 1 && rows.first().row() != combo->currentIndex()) {
                       combo->setCurrentIndex(rows.first().row());
                     }
                   });
}

// Tooltips stay up 30 s (Qt's own time depends on the text's length and is often under 10 s):
// every tooltip of the program, the list's cells included, is shown here with that time.
class TToolTipTime : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::ToolTip || !watched->isWidgetType()) return false;
    auto* widget = static_cast<QWidget*>(watched);
    auto* help = static_cast<QHelpEvent*>(event);
    QString text = widget->toolTip();
    QRect area;
    if (auto* view = qobject_cast<QAbstractItemView*>(widget->parentWidget());
        view != nullptr && view->viewport() == widget) {
      const QModelIndex index = view->indexAt(help->pos());
      text = index.data(Qt::ToolTipRole).toString();
      area = view->visualRect(index);
    }
    if (text.isEmpty()) {
      QToolTip::hideText();
      event->ignore();
      return !widget->toolTip().isEmpty() || area.isValid();
    }
    QToolTip::showText(help->globalPos(), text, widget, area, kToolTipMs);
    return true;
  }

 private:
  static constexpr int kToolTipMs = 30000;
};

// PATH made absolute against the current folder. A name that text can hold is cleaned as
// QFileInfo cleans it; any other is kept byte for byte.
QByteArray AbsolutePath(const QByteArray& path) {
  const QString text = QFile::decodeName(path);
  if (QFile::encodeName(text) == path) {
    return QFile::encodeName(QFileInfo(text).absoluteFilePath());
  }
  if (path.startsWith('/')) return path;
  return QFile::encodeName(QDir::currentPath()) + '/' + path;
}

// The path of a local file's URL as bytes: a name that is not valid UTF-8 stays in the URL
// percent-encoded, and decoding it as text would lose it.
QByteArray LocalFileBytes(const QUrl& url) {
  return AbsolutePath(QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()));
}

// Fills `combo` from `list` without raising its change signals.
void BindCombo(QComboBox* combo, const TSettingList& list, bool enabled) {
  const QSignalBlocker block(combo);
  QStringList items;
  for (const std::string& item : list.Items()) items << QString::fromStdString(item);
  QStringList shown;
  for (int i = 0; i < combo->count(); ++i) shown << combo->itemText(i);
  if (shown != items) {
    combo->clear();
    combo->addItems(items);
  }
  combo->setCurrentIndex(list.ItemIndex());
  combo->setEnabled(enabled && list.Enabled);
}

}  // namespace

// ---- TFormatCombo ----

void TFormatCombo::showPopup() {
  if (OnDropDown) OnDropDown();
  QComboBox::showPopup();
}

// ---- free helpers ----

QString SupportedFilesFilter() {
  QStringList entries;
  for (const TMediaFileType& type : MediaFileTypes()) {
    entries << QString::fromUtf8(type.Description.data(),
                                 static_cast<qsizetype>(type.Description.size())) +
                   " (" + Patterns(type.Patterns).join(' ') + ")";
  }
  return entries.join(";;");
}

QStringList HelpFileCandidates(const QString& program_folder) {
  return {
      QDir(program_folder).filePath("help/quorvin-help.html"),
      QDir::cleanPath(QDir(program_folder).filePath("../share/quorvin/help/quorvin-help.html"))};
}

// ---- TForm1 ----

TForm1::TForm1(TUserDialogs& dialogs, QWidget* parent)
    : QMainWindow(parent), dialogs_(dialogs), prober_(std::make_shared<VIDevozORE>()) {
  queue_ = std::make_unique<TConversionQueue>(list_, Converter_, settings_,
                                              static_cast<TQueueWindow&>(*this));
  estimate_timer_ = new QTimer(this);
  estimate_timer_->setSingleShot(true);
  estimate_timer_->setInterval(50);
  connect(estimate_timer_, &QTimer::timeout, this, &TForm1::ShowSizeEstimates);
  // Removed rows and changed check marks change the total.
  connect(&list_.Model(), &QAbstractItemModel::rowsRemoved, estimate_timer_,
          qOverload<>(&QTimer::start));
  connect(&list_.Model(), &QAbstractItemModel::modelReset, estimate_timer_,
          qOverload<>(&QTimer::start));
  connect(&list_.Model(), &QAbstractItemModel::dataChanged, this, [this](const QModelIndex& first) {
    if (first.column() == colFileName) estimate_timer_->start();
  });
  file_prober_ = std::make_unique<TFileProber>(prober_);
  // The probing thread's results, carried to this thread in the order the files were given.
  connect(file_prober_.get(), &TFileProber::Probed, this, &TForm1::AddProbedRow,
          Qt::QueuedConnection);
  connect(
      file_prober_.get(), &TFileProber::Finished, this, [this] { AddingFiles_ = false; },
      Qt::QueuedConnection);
  FormCreate();
  if (libraries_missing_) return;
  if (QCoreApplication::instance() != nullptr) {
    QCoreApplication::instance()->installEventFilter(new TToolTipTime(this));
  }
  about_ = new TFormAbout(this, dialogs_);
  LoadSettings();
  queue_->SetConversionsAtOnce(options_.ConversionsAtOnce());
  connect(&options_, &TWindowOptions::Changed, this, &TForm1::OptionChanged);
  form4_ = new TForm4(options_, this);
  keeper_ = std::make_unique<TListKeeper>(list_, KeptListFile());
  connect(
      keeper_.get(), &TListKeeper::KeepFailed, this,
      [this](const QString& message) { dialogs_.Information(this, message); },
      Qt::QueuedConnection);
  if (options_.KeepFileList()) {
    const QString message = keeper_->Restore();
    if (!message.isEmpty()) {
      QMetaObject::invokeMethod(
          this, [this, message] { dialogs_.Information(this, message); }, Qt::QueuedConnection);
    }
  }
  keeper_->SetEnabled(options_.KeepFileList());
}

TForm1::~TForm1() {
  queue_->DetachEvents();
  // A batch still being probed ends before the list it adds to.
  file_prober_.reset();
  // The list's model is a member and goes before the widgets: selection reports raised while
  // it is taken down must not reach the preview pane.
  disconnect(ListView1->selectionModel(), nullptr, this, nullptr);
}

void TForm1::FormCreate() {
  CreateControls();
  CreateMenus();
  SetTabOrder();

  if (!Converter_.LoadLibraries(ProgramFolder() + "Common") ||
      !prober_->LoadLibraries(ProgramFolder() + "Common")) {
    dialogs_.Information(this, "Some files are missing. Please re-install this software");
    libraries_missing_ = true;
    return;
  }
  setWindowTitle(kProductName);
  TrackBar1->setValue(5);
  TrackBar1Change(5);
  InitialiseSettingLists(settings_);
  RefreshSettingWidgets();
}

void TForm1::CreateControls() {
  setWindowIcon(CommandIcon(TIconKind::Program));
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(6, 4, 6, 2);
  layout->setSpacing(4);
  layout->addWidget(CreateCommandBar());
  layout->addWidget(CreateOutputBar());

  CreateFileListView(central);
  layout->addWidget(ListView1, 1);
  LabelRowDetails = new QLabel(central);
  // Its text is its accessible name, like the status bar's panels; the description says what
  // it is.
  LabelRowDetails->setAccessibleDescription("Selected File");
  LabelRowDetails->setTextInteractionFlags(Qt::TextSelectableByMouse);
  // One line of fixed height, so that the window keeps its size whatever the text.
  LabelRowDetails->setFixedSize(ListView1->minimumWidth(),
                                LabelRowDetails->fontMetrics().height() + 2);
  connect(&list_.Model(), &QAbstractItemModel::dataChanged, this, &TForm1::ShowRowDetails);
  connect(&list_.Model(), &QAbstractItemModel::rowsRemoved, this, &TForm1::ShowRowDetails);
  layout->addWidget(LabelRowDetails);

  auto* lower = new QHBoxLayout;
  lower->addWidget(CreateSettingsPanel(), 1);
  lower->addWidget(CreatePreviewPane());
  layout->addLayout(lower);
  layout->addWidget(CreateProgressBar());
  setCentralWidget(central);
  // A fixed window, sized to its contents; no maximise box.
  layout->setSizeConstraint(QLayout::SetFixedSize);
  QMainWindow::layout()->setSizeConstraint(QLayout::SetFixedSize);
  setWindowFlag(Qt::WindowMaximizeButtonHint, false);

  CreateStatusPanels();
  // Nothing to stop while idle; LockControls enables them for the run.
  ButtonStopConvert->setEnabled(false);
  ButtonStopSmall->setEnabled(false);
}

// The file list: rows selected whole, several at a time, dropped files and folders accepted.
void TForm1::CreateFileListView(QWidget* parent) {
  ListView1 = new QTableView(parent);
  ListView1->setModel(&list_.Model());
  ListView1->setAccessibleName("File List");
  ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
  // Several rows can be selected for Remove File and the Delete key; the first of them is the
  // row the preview plays.
  ListView1->setSelectionMode(QAbstractItemView::ExtendedSelection);
  // Tab and Shift+Tab move between the window's controls; the arrow keys move in the list.
  ListView1->setTabKeyNavigation(false);
  ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListView1->setShowGrid(true);
  ListView1->setWordWrap(false);
  ListView1->setTextElideMode(Qt::ElideLeft);
  ListView1->verticalHeader()->setVisible(false);
  ListView1->verticalHeader()->setDefaultSectionSize(ListView1->fontMetrics().height() + 6);
  ListView1->horizontalHeader()->setHighlightSections(false);
  // Wide enough for each column's longest text ("100:00:00", "Unknown").
  const int widths[kFileColumnCount] = {240, 82, 74, 72, 60, 65, 55, 80};
  for (int column = 0; column < kFileColumnCount; ++column) {
    ListView1->setColumnWidth(column, widths[column]);
  }
  ListView1->horizontalHeader()->setStretchLastSection(true);
  // A narrow window scrolls the list; screen readers name its bars.
  ListView1->horizontalScrollBar()->setAccessibleName("File List Horizontal Scroll Bar");
  ListView1->verticalScrollBar()->setAccessibleName("File List Vertical Scroll Bar");
  ListView1->setMinimumSize(760, 190);
  ListView1->setContextMenuPolicy(Qt::CustomContextMenu);
  ListView1->setAcceptDrops(true);
  ListView1->viewport()->setAcceptDrops(true);
  ListView1->setDragDropMode(QAbstractItemView::DropOnly);
  ListView1->setDropIndicatorShown(false);
  ListView1->viewport()->installEventFilter(this);
  ListView1->installEventFilter(this);
  connect(ListView1, &QWidget::customContextMenuRequested, this, &TForm1::ShowListMenu);
  connect(ListView1->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &TForm1::ListView1SelectItem);
}

// The status bar's three panels: status, output file size, time left.
void TForm1::CreateStatusPanels() {
  for (int i = 0; i < 3; ++i) {
    StatusPanels[i] = new QLabel(this);
    StatusPanels[i]->setFrameShape(QFrame::StyledPanel);
    StatusPanels[i]->setFrameShadow(QFrame::Sunken);
    StatusPanels[i]->setMinimumWidth(i == 0 ? 120 : 220);
    statusBar()->addWidget(StatusPanels[i], i == 2 ? 1 : 0);
  }
  StatusPanels[0]->setText("Ready");
  // The panels' texts are their accessible names; what each panel is for is its description.
  StatusPanels[0]->setAccessibleDescription("Status");
  StatusPanels[1]->setAccessibleDescription("Output File Size");
  StatusPanels[2]->setAccessibleDescription("Time Left");
  statusBar()->setSizeGripEnabled(false);
}

QWidget* TForm1::CreateCommandBar() {
  auto* bar = new QFrame(this);
  bar->setFrameShape(QFrame::StyledPanel);
  auto* layout = new QHBoxLayout(bar);
  layout->setContentsMargins(4, 2, 4, 2);
  ButtonAddFile = CommandButton("Add File", TIconKind::AddFile, bar);
  ButtonRemoveFile = CommandButton("Remove File", TIconKind::RemoveFile, bar);
  ButtonClearAll = CommandButton("Clear All ", TIconKind::ClearAll, bar);
  ButtonStopConvert = CommandButton("Stop", TIconKind::Stop, bar);
  ButtonConvert = CommandButton("Start", TIconKind::Start, bar);
  layout->addWidget(ButtonAddFile);
  layout->addWidget(ButtonRemoveFile);
  layout->addWidget(ButtonClearAll);
  layout->addWidget(Separator(bar));
  layout->addWidget(ButtonStopConvert);
  layout->addWidget(Separator(bar));
  layout->addWidget(ButtonConvert);
  layout->addStretch(1);
  connect(ButtonAddFile, &QToolButton::clicked, this, &TForm1::ButtonAddFileClick,
          Qt::QueuedConnection);
  connect(ButtonRemoveFile, &QToolButton::clicked, this, &TForm1::ButtonRemoveFileClick,
          Qt::QueuedConnection);
  connect(ButtonClearAll, &QToolButton::clicked, this, &TForm1::ButtonClearAllClick,
          Qt::QueuedConnection);
  connect(ButtonStopConvert, &QToolButton::clicked, this, &TForm1::ButtonStopConvertClick,
          Qt::QueuedConnection);
  connect(ButtonConvert, &QToolButton::clicked, this, &TForm1::ButtonConvertClick,
          Qt::QueuedConnection);
  return bar;
}

QWidget* TForm1::CreateOutputBar() {
  auto* bar = new QWidget(this);
  auto* layout = new QHBoxLayout(bar);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* folder_label = new QLabel("Output Folder :", bar);
  // A folder can be typed or pasted (with completion of folder names) or chosen with the
  // browse button; Start checks it.
  EditOutputFolder = new QLineEdit(bar);
  EditOutputFolder->setAccessibleName("Output Folder");
  auto* folders = new QFileSystemModel(EditOutputFolder);
  folders->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot);
  folders->setRootPath(QString());
  auto* completer = new QCompleter(folders, EditOutputFolder);
  completer->setCaseSensitivity(Qt::CaseSensitive);
  EditOutputFolder->setCompleter(completer);
  connect(EditOutputFolder, &QLineEdit::textChanged, EditOutputFolder,
          [this](const QString& text) { EditOutputFolder->setToolTip(text); });
  folder_label->setBuddy(EditOutputFolder);
  ButtonBrowseForFolder = new QToolButton(bar);
  ButtonBrowseForFolder->setIcon(CommandIcon(TIconKind::Folder));
  ButtonBrowseForFolder->setIconSize(QSize(20, 20));
  ButtonBrowseForFolder->setFocusPolicy(Qt::StrongFocus);
  ButtonBrowseForFolder->setToolTip("Browse for Output Folder");
  ButtonBrowseForFolder->setAccessibleName("Browse for Output Folder");
  connect(ButtonBrowseForFolder, &QToolButton::clicked, this, &TForm1::ButtonBrowseForFolderClick,
          Qt::QueuedConnection);

  auto* format_label = new QLabel("Set Output Format :", bar);
  ComboOutputFormat = new TFormatCombo(bar);
  ComboOutputFormat->setAccessibleName("Set Output Format");
  ComboOutputFormat->setMinimumContentsLength(30);
  ComboOutputFormat->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  format_label->setBuddy(ComboOutputFormat);
  ComboOutputFormat->OnDropDown = [this] {
    ::ComboOutputFormatDropDown(settings_, FormatHooks());
    ComboOutputFormat->setMaxVisibleItems(settings_.ComboOutputFormat.DropDownCount);
  };
  connect(ComboOutputFormat, &QComboBox::currentIndexChanged, this,
          &TForm1::ComboOutputFormatChange);
  ChooseSelectedListItem(ComboOutputFormat);

  layout->addWidget(folder_label);
  layout->addWidget(EditOutputFolder, 1);
  layout->addWidget(ButtonBrowseForFolder);
  layout->addSpacing(12);
  layout->addWidget(format_label);
  layout->addWidget(ComboOutputFormat);
  return bar;
}

QWidget* TForm1::CreateSettingsPanel() {
  auto* panel = new QWidget(this);
  auto* layout = new QVBoxLayout(panel);
  layout->setContentsMargins(0, 0, 0, 0);

  auto* video = new QGroupBox(" Video Settings ", panel);
  auto* video_grid = new QGridLayout(video);
  ComboVideoQuality = LabelledCombo(video_grid, 0, "Video Quality : ", video);
  ComboVideoSize = LabelledCombo(video_grid, 1, "Video Size : ", video);
  ComboVideoFramerate = LabelledCombo(video_grid, 2, "Video Framerate : ", video);
  video_grid->setColumnStretch(1, 1);

  auto* audio = new QGroupBox(" Audio Settings ", panel);
  auto* audio_grid = new QGridLayout(audio);
  ComboAudioQuality = LabelledCombo(audio_grid, 0, "Audio Quality :", audio);
  ComboAudioChannels = LabelledCombo(audio_grid, 1, "Audio Channels :", audio);
  auto* volume_label = new QLabel("Volume : ", audio);
  TrackBar1 = new QSlider(Qt::Horizontal, audio);
  TrackBar1->setRange(0, 10);
  TrackBar1->setPageStep(1);
  TrackBar1->setTickPosition(QSlider::TicksBelow);
  TrackBar1->setAccessibleName("Volume");
  TrackBar1->setAccessibleDescription("100% is the original video volume");
  volume_label->setBuddy(TrackBar1);
  LabelVolume = new QLabel("100%", audio);
  LabelVolume->setMinimumWidth(LabelVolume->fontMetrics().horizontalAdvance("200%") + 4);
  auto* volume_row = new QHBoxLayout;
  volume_row->addWidget(TrackBar1, 1);
  volume_row->addWidget(LabelVolume);
  audio_grid->addWidget(volume_label, 2, 0);
  audio_grid->addLayout(volume_row, 2, 1);
  audio_grid->setColumnStretch(1, 1);

  for (QComboBox* combo : {ComboVideoQuality, ComboAudioQuality}) {
    connect(combo, &QComboBox::currentIndexChanged, this, &TForm1::ComboQualityChange);
  }
  connect(ComboVideoSize, &QComboBox::currentIndexChanged, this,
          [this](int index) { settings_.ComboVideoSize.Select(index); });
  connect(ComboVideoFramerate, &QComboBox::currentIndexChanged, this,
          [this](int index) { settings_.ComboVideoFramerate.Select(index); });
  connect(ComboAudioChannels, &QComboBox::currentIndexChanged, this,
          [this](int index) { settings_.ComboAudioChannels.Select(index); });
  connect(TrackBar1, &QSlider::valueChanged, this, &TForm1::TrackBar1Change);

  layout->addWidget(video);
  layout->addWidget(audio);
  layout->addStretch(1);
  return panel;
}

// The preview pane: the player's picture, its buttons and the seek bar. It plays the selected
// row and asks this window for the selection, the output folder and the converting flag.
PreviewPane* TForm1::CreatePreviewPane() {
  PanelPreview = new PreviewPane(static_cast<TPreviewHost&>(*this), this);
  PanelPreview->setObjectName("PanelPreview");
  PanelPreview->setContentsMargins(0, 6, 0, 0);
  // A 240 x 180 picture above the pane's row of controls.
  PanelPreview->setFixedWidth(240);
  PanelPreview->setMinimumHeight(PanelPreview->minimumSizeHint().height() + 60);
  for (int i = 0; i < 5; ++i) PlayerButtons[i] = PanelPreview->Button(i);
  SeekBar = &PanelPreview->SeekBar();
  return PanelPreview;
}

QWidget* TForm1::CreateProgressBar() {
  auto* bar = new QWidget(this);
  auto* layout = new QHBoxLayout(bar);
  layout->setContentsMargins(0, 0, 0, 0);
  ProgressBar1 = new QProgressBar(bar);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setAccessibleName("Progress");
  ButtonStopSmall = new QPushButton("Stop", bar);
  ButtonStopSmall->setAccessibleName("Stop");
  connect(ButtonStopSmall, &QPushButton::clicked, this, &TForm1::ButtonStopConvertClick,
          Qt::QueuedConnection);
  layout->addWidget(ProgressBar1, 1);
  layout->addWidget(ButtonStopSmall);
  return bar;
}

// Commands run from the event loop, after the click or key press that chose them has been
// answered: a command that opens a dialog then never holds up the caller (a screen reader's
// request, for one).
template <typename Handler>
QAction* TForm1::AddCommand(QMenu* menu, const QString& text, Handler handler) {
  QAction* action = menu->addAction(text);
  connect(action, &QAction::triggered, this, handler, Qt::QueuedConnection);
  return action;
}

void TForm1::CreateMenus() {
  MenuFile = menuBar()->addMenu("&File");
  ActionAddFiles = AddCommand(MenuFile, "Add Files", &TForm1::ButtonAddFileClick);
  ActionAddFiles->setShortcut(QKeySequence::Open);
  MenuFile->addSeparator();
  ActionConvert = AddCommand(MenuFile, "Convert", &TForm1::ButtonConvertClick);
  ActionConvert->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
  ActionStopAfterCurrent =
      AddCommand(MenuFile, "Stop After Current", [this] { queue_->StopAfterCurrent(); });
  ActionStopAfterCurrent->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
  ActionStopAfterCurrent->setEnabled(false);
  // The bottom Stop button's menu (its context menu) holds it too; a click stays Stop.
  ButtonStopSmall->addAction(ActionStopAfterCurrent);
  ButtonStopSmall->setContextMenuPolicy(Qt::ActionsContextMenu);
  // Reachable by its shortcut whatever the menus' state.
  addAction(ActionStopAfterCurrent);
  ActionOpenOutputFolder =
      AddCommand(MenuFile, "Open Output Folder", &TForm1::OpenOutputFolderClick);
  MenuFile->addSeparator();
  ActionExit = AddCommand(MenuFile, "Exit", &TForm1::ExitClick);
  ActionExit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

  MenuOptions = menuBar()->addMenu("&Options");
  ActionSetOptions = AddCommand(MenuOptions, "Set Options", &TForm1::SetOptionsClick);

  MenuHelp = menuBar()->addMenu("&Help");
  ActionOpenHelp = AddCommand(MenuHelp, "Open Help File", &TForm1::OpenHelpFileClick);
  ActionOpenHelp->setShortcut(QKeySequence::HelpContents);
  MenuHelp->addSeparator();
  ActionVisitWebSite =
      AddCommand(MenuHelp, "Visit Quorvin Software Website", &TForm1::VisitWebSiteClick);
  MenuHelp->addSeparator();
  ActionAbout = AddCommand(MenuHelp, "About", &TForm1::AboutClick);

  PopupListView1 = new QMenu(this);
  AddCommand(PopupListView1, "Check All Items", [this] { CheckAllItems(true); });
  AddCommand(PopupListView1, "Uncheck All Items", [this] { CheckAllItems(false); });
  PopupListView1->addSeparator();
  AddCommand(PopupListView1, "Remove Selected Item", &TForm1::ButtonRemoveFileClick);
  AddCommand(PopupListView1, "Clear All Items", &TForm1::ButtonClearAllClick);
  PopupListView1->addSeparator();
  ActionPlaySelected = AddCommand(PopupListView1, "Play Selected File", &TForm1::PreviewPlay);
}

// Keyboard order follows the layout: command bar, output bar, list, settings, player, progress.
void TForm1::SetTabOrder() {
  QWidget* order[] = {ButtonAddFile,
                      ButtonRemoveFile,
                      ButtonClearAll,
                      ButtonStopConvert,
                      ButtonConvert,
                      EditOutputFolder,
                      ButtonBrowseForFolder,
                      ComboOutputFormat,
                      ListView1,
                      ComboVideoQuality,
                      ComboVideoSize,
                      ComboVideoFramerate,
                      ComboAudioQuality,
                      ComboAudioChannels,
                      TrackBar1,
                      PlayerButtons[0],
                      PlayerButtons[1],
                      PlayerButtons[2],
                      SeekBar,
                      PlayerButtons[3],
                      PlayerButtons[4],
                      ButtonStopSmall};
  for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
}

TFormatChangeHooks TForm1::FormatHooks() {
  TFormatChangeHooks hooks;
  hooks.SetOutputColumn = [this](const std::string& extension) {
    list_.SetColumn(colOutput, QString::fromStdString(extension));
  };
  hooks.ReadDropDownCount = [this] { return options_.DropDownItems(); };
  return hooks;
}

void TForm1::RefreshSettingWidgets() {
  const bool enabled = !locked_;
  BindCombo(ComboOutputFormat, settings_.ComboOutputFormat, enabled);
  // Separator rows cannot be chosen: the arrow keys and type-ahead pass over them.
  if (auto* model = qobject_cast<QStandardItemModel*>(ComboOutputFormat->model())) {
    for (int row = 0; row < model->rowCount(); ++row) {
      if (!FindFormat(settings_.ComboOutputFormat.Items()[row])) {
        model->item(row)->setFlags(Qt::NoItemFlags);
      }
    }
  }
  ComboOutputFormat->setMaxVisibleItems(settings_.ComboOutputFormat.DropDownCount);
  BindCombo(ComboVideoQuality, settings_.ComboVideoQuality, enabled);
  BindCombo(ComboVideoSize, settings_.ComboVideoSize, enabled);
  BindCombo(ComboVideoFramerate, settings_.ComboVideoFramerate, enabled);
  BindCombo(ComboAudioQuality, settings_.ComboAudioQuality, enabled);
  BindCombo(ComboAudioChannels, settings_.ComboAudioChannels, enabled);
  ComboVideoQuality->setToolTip(QString::fromStdString(ComboVideoQualityHint(settings_)));
  ComboAudioQuality->setToolTip(QString::fromStdString(ComboAudioQualityHint(settings_)));
  {
    const QSignalBlocker block(TrackBar1);
    TrackBar1->setValue(settings_.VolumePosition);
  }
  TrackBar1->setEnabled(enabled);
  LabelVolume->setText(QString::fromStdString(settings_.VolumeLabel));
  // The estimates follow the settings (once for a burst of changes).
  if (estimate_timer_ != nullptr) estimate_timer_->start();
}

void TForm1::ShowSizeEstimates() {
  if (Converting() || queue_->RunActive()) return;
  // The settings' rates once for the whole list (a long list is estimated in one pass).
  TOutputOptions options;
  ResetOutputOptions(options);
  bool translated = true;
  try {
    FillProfileOptions(settings_, options);
  } catch (const std::exception&) {
    translated = false;
  }
  std::vector<TSizeEstimate> checked;
  for (int row = 0; row < list_.RowCount(); ++row) {
    // A converted row shows its output's real size until the next run (a row kept from an
    // earlier run reads it from its output).
    if (list_.Text(row, colProgress) == "Done") {
      if (list_.Text(row, colOutputSize).isEmpty()) list_.ShowOutputFileSize(row);
      continue;
    }
    const ProbeColumns columns = list_.SourceColumns(row);
    const TSizeEstimate estimate =
        translated && columns.ok ? EstimateOutputSize(options, settings_.OutputExtension, columns)
                                 : TSizeEstimate{};
    list_.SetText(row, colOutputSize,
                  estimate.Known ? QString::fromStdString(estimate.Text()) : QString());
    if (list_.Checked(row)) checked.push_back(estimate);
  }
  SetFileSizeText(checked.empty() ? QString() : QString::fromStdString(TotalEstimateText(checked)));
}

void TForm1::ComboOutputFormatChange(int index) {
  settings_.ComboOutputFormat.Select(index);
  ::ComboOutputFormatChange(settings_, FormatHooks());
  RefreshSettingWidgets();
}

void TForm1::ComboQualityChange() {
  settings_.ComboVideoQuality.Select(ComboVideoQuality->currentIndex());
  settings_.ComboAudioQuality.Select(ComboAudioQuality->currentIndex());
  ApplyQualityLevels(settings_);
  RefreshSettingWidgets();
}

void TForm1::TrackBar1Change(int position) {
  LabelVolume->setText(QString::number(position));
  ::TrackBar1Change(settings_, position);
  LabelVolume->setText(QString::fromStdString(settings_.VolumeLabel));
}

void TForm1::SetFormatDropDownCount(int count) {
  settings_.ComboOutputFormat.DropDownCount = count;
  ComboOutputFormat->setMaxVisibleItems(count);
}

void TForm1::SetOutputFolder(const QString& folder) {
  EditOutputFolder->setText(folder);
  EditOutputFolder->setToolTip(folder);
}

QString TForm1::OutputFolderText() const {
  return EditOutputFolder->text();
}

bool TForm1::OverwriteChecked() const {
  return options_.Overwrite();
}

TJobExtras TForm1::JobExtras() const {
  TJobExtras extras;
  extras.CheckOutput = options_.CheckOutputs();
  extras.TargetSizeBytes = options_.TargetSizeBytes();
  return extras;
}

bool TForm1::TrashSources() const {
  return options_.TrashSources();
}

void TForm1::LoadSettings() {
  const bool complete = options_.Load();
  const TWindowState& stored = options_.Window();
  SetOutputFolder(stored.OutputFolder);
  // An index beyond a list or on a separator (a hand-edited or damaged store) keeps the
  // list's default item, as -1 does: a list without a format would fail every row, and one
  // without a selection shows blank and would be stored back as -1.
  const std::vector<std::string>& formats = settings_.ComboOutputFormat.Items();
  if (stored.Format >= 0 && stored.Format < static_cast<int>(formats.size()) &&
      FindFormat(formats[static_cast<size_t>(stored.Format)]) != nullptr) {
    settings_.ComboOutputFormat.Select(stored.Format);
  }
  const std::pair<TSettingList*, int> lists[] = {
      {&settings_.ComboLetterBox, options_.Zoom()},
      {&settings_.ComboVideoQuality, stored.VideoQuality},
      {&settings_.ComboAudioQuality, stored.AudioQuality}};
  for (const auto& [list, index] : lists) {
    if (index >= 0 && index < list->Count()) list->Select(index);
  }
  // The options show what the window took.
  options_.SetZoom(settings_.ComboLetterBox.ItemIndex());
  settings_.ComboAspectRatio.Select(options_.AspectRatio());
  SetFormatDropDownCount(options_.DropDownItems());
  RefreshSettingWidgets();
  // Written again at once; a store that cannot be written is told of when the user's changes
  // would be lost, at the first save after start-up.
  if (!complete) StoreSettings();
}

void TForm1::OptionChanged(TWindowOption option) {
  switch (option) {
    case TWindowOption::DropDownItems:
      SetFormatDropDownCount(options_.DropDownItems());
      break;
    case TWindowOption::Zoom:
      settings_.ComboLetterBox.Select(options_.Zoom());
      break;
    case TWindowOption::AspectRatio:
      settings_.ComboAspectRatio.Select(options_.AspectRatio());
      break;
    case TWindowOption::KeepFileList:
      keeper_->SetEnabled(options_.KeepFileList());
      break;
    case TWindowOption::ConversionsAtOnce:
      queue_->SetConversionsAtOnce(options_.ConversionsAtOnce());
      break;
    default:
      // Overwrite, the output check and the target size are read by the queue at each job's
      // set-up (OverwriteChecked, JobExtras), trashing sources at each Start.
      break;
  }
}

// ---- start, show, close ----

void TForm1::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (shown_) return;
  shown_ = true;
  FormShow();
}

void TForm1::FormShow() {
  ApplyShownSettings(settings_, FormatHooks());
  RefreshSettingWidgets();
  if (!startup_files_.isEmpty()) {
    const QList<QByteArray> files = startup_files_;
    startup_files_.clear();
    QMetaObject::invokeMethod(
        this,
        [this, files] {
          if (Converting() || AddingFiles_) return;
          QList<QByteArray> absolute;
          for (const QByteArray& file : files) absolute << AbsolutePath(file);
          AddDroppedPaths(absolute);
        },
        Qt::QueuedConnection);
  }
}

void TForm1::closeEvent(QCloseEvent* event) {
  // A run in progress must be stopped first; the user is told how.
  if (queue_->RunActive()) {
    event->ignore();
    dialogs_.Information(this,
                         "Files are being converted. Press Stop to end the conversion "
                         "before closing the window.");
    return;
  }
  closing_ = true;
  queue_->DetachEvents();
  Converter_.Stop();
  file_prober_->Stop();
  SaveSettings();
  if (keeper_) keeper_->Flush();
  PreviewClearOnClose();
  if (form4_ != nullptr) form4_->hide();
  if (about_ != nullptr) about_->hide();
  event->accept();
}

bool TForm1::StoreSettings() {
  TWindowState& state = options_.Window();
  state.OutputFolder = OutputFolderText();
  state.Format = settings_.ComboOutputFormat.ItemIndex();
  state.VideoQuality = settings_.ComboVideoQuality.ItemIndex();
  state.AudioQuality = settings_.ComboAudioQuality.ItemIndex();
  return options_.Save();
}

void TForm1::SaveSettings() {
  // Without the libraries nothing was loaded: the stored settings stay as they are.
  if (libraries_missing_) return;
  if (StoreSettings() || told_settings_unwritable_) return;
  told_settings_unwritable_ = true;
  dialogs_.Information(this, "The settings cannot be saved to \"" + options_.SettingsFile() +
                                 "\". Changed settings will be lost when the program ends.");
}

void TForm1::ExitClick() {
  // Every normal way out keeps the settings, as the close box does.
  SaveSettings();
  if (OnExit) {
    OnExit();
    return;
  }
  QCoreApplication::exit(0);
}

// ---- locking ----

void TForm1::LockControls() {
  locked_ = true;
  for (QWidget* w : std::initializer_list<QWidget*>{ButtonAddFile, ButtonClearAll, ButtonRemoveFile,
                                                    ButtonConvert}) {
    w->setEnabled(false);
  }
  ButtonStopConvert->setEnabled(true);
  ButtonStopSmall->setEnabled(true);
  EditOutputFolder->setReadOnly(true);
  RefreshSettingWidgets();
  // The File menu stays open for Stop After Current; its other entries are off.
  for (QMenu* menu : {MenuOptions, MenuHelp}) menu->menuAction()->setEnabled(false);
  for (QAction* action : {ActionAddFiles, ActionConvert, ActionOpenOutputFolder, ActionExit,
                          ActionSetOptions, ActionOpenHelp, ActionVisitWebSite, ActionAbout}) {
    action->setEnabled(false);
  }
  ActionStopAfterCurrent->setEnabled(true);
}

void TForm1::UnlockControls() {
  locked_ = false;
  for (QWidget* w : std::initializer_list<QWidget*>{ButtonAddFile, ButtonClearAll, ButtonRemoveFile,
                                                    ButtonConvert}) {
    w->setEnabled(true);
  }
  ButtonStopConvert->setEnabled(false);
  ButtonStopSmall->setEnabled(false);
  ActionStopAfterCurrent->setEnabled(false);
  EditOutputFolder->setReadOnly(false);
  for (QMenu* menu : {MenuFile, MenuOptions, MenuHelp}) menu->menuAction()->setEnabled(true);
  for (QAction* action : {ActionAddFiles, ActionConvert, ActionOpenOutputFolder, ActionExit,
                          ActionSetOptions, ActionOpenHelp, ActionVisitWebSite, ActionAbout}) {
    action->setEnabled(true);
  }
  UpdateVideoControls(settings_);
  RefreshSettingWidgets();
}

// ---- commands ----

void TForm1::ButtonAddFileClick() {
  PreviewStopForAddFile();
  if (Converting() || AddingFiles_) return;
  Converter_.ClearTasks();
  list_.SetColumn(colProgress, QString());
  AddingFiles_ = true;
  const QStringList files = dialogs_.OpenFiles(this, SupportedFilesFilter());
  AddingFiles_ = false;
  AddFilesToList(files);
}

void TForm1::AddFilesToList(const QStringList& files) {
  QList<QByteArray> paths;
  for (const QString& file : files) paths << QFile::encodeName(file);
  AddFilesToList(paths);
}

void TForm1::AddFilesToList(const QList<QByteArray>& files) {
  if (files.isEmpty() || closing_) return;
  // Until the batch's end reaches this thread, the list is not changed otherwise.
  AddingFiles_ = true;
  file_prober_->Probe(files);
}

void TForm1::AddProbedRow(const TProbedFile& probed) {
  if (closing_) return;  // the window closed while the batch was being probed
  const ProbeColumns& columns = probed.columns;
  if (columns.ok) {
    const TRowId id = list_.AddFileRow(
        probed.file,
        {QString::fromStdString(columns.video_size), QString::fromStdString(columns.frame_rate),
         QString::fromStdString(columns.duration),
         QString::fromStdString(settings_.OutputExtension), QString(), QString()});
    list_.SetProbed(id, columns);
    estimate_timer_->start();
  } else {
    list_.AddFileRow(probed.file,
                     {QString(), QString(), QString(), QString(), QString(), QString()});
    list_.SetResult(list_.RowCount() - 1, "Error", QString::fromStdString(columns.error));
  }
  ListView1->scrollToBottom();
}

void TForm1::AddDroppedPaths(const QStringList& paths) {
  QList<QByteArray> bytes;
  for (const QString& path : paths) bytes << QFile::encodeName(QFileInfo(path).absoluteFilePath());
  AddDroppedPaths(bytes);
}

void TForm1::AddDroppedPaths(const QList<QByteArray>& paths) {
  QList<QByteArray> files;
  for (const QByteArray& path : paths) {
    struct stat st {};
    if (stat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      files << path;
      continue;
    }
    for (const std::string& found : MediaFilesInFolder(path.toStdString())) {
      files << QByteArray::fromStdString(found);
    }
  }
  if (files.isEmpty()) return;
  PreviewStopForAddFile();
  Converter_.ClearTasks();
  list_.SetColumn(colProgress, QString());
  AddFilesToList(files);
}

void TForm1::ButtonRemoveFileClick() {
  if (AddingFiles_) return;
  QList<int> rows;
  for (const QModelIndex& index : ListView1->selectionModel()->selectedRows()) {
    rows << index.row();
  }
  // From the bottom up, so that the rows still to remove keep their places.
  std::sort(rows.begin(), rows.end(), std::greater<int>());
  // The selection goes first and each run of adjacent rows goes in one step: removed one by
  // one, every row changed the selection and the view, and every change walked the whole
  // selection again, so the time grew with the square of the rows removed.
  ListView1->selectionModel()->clearSelection();
  bool running_row_kept = false;
  int block_first = -1;  // the block being collected is [block_first, block_last]
  int block_last = -1;
  const auto remove_block = [&] {
    if (block_first < 0) return;
    for (int row = block_last; row >= block_first; --row) queue_->RowRemoved(row);
    list_.RemoveRows(block_first, block_last - block_first + 1);
    block_first = block_last = -1;
  };
  for (const int row : rows) {
    if (!queue_->CanRemoveRow(row)) {
      running_row_kept = true;
      remove_block();
      continue;
    }
    if (block_first >= 0 && row != block_first - 1) remove_block();
    if (block_first < 0) block_last = row;
    block_first = row;
  }
  remove_block();
  if (running_row_kept) {
    dialogs_.Information(this,
                         "This file is being converted and cannot be removed now. "
                         "Press Stop first to remove it.");
  }
}

void TForm1::ButtonClearAllClick() {
  if (AddingFiles_ || Converting() || queue_->RunActive()) return;
  Converter_.ClearTasks();
  queue_->ListCleared();
  list_.Clear();
}

void TForm1::CheckAllItems(bool checked) {
  list_.SetAllChecked(checked);
}

void TForm1::ButtonConvertClick() {
  queue_->ButtonConvertClick();
}

void TForm1::ButtonStopConvertClick() {
  queue_->ButtonStopConvertClick();
}

void TForm1::ButtonBrowseForFolderClick() {
  if (Converting()) return;
  const QString start = last_browsed_folder_.isEmpty() ? OutputFolderText() : last_browsed_folder_;
  const QString folder =
      dialogs_.BrowseForFolder(this, "Choose the required output folder below :", start);
  if (folder.isEmpty()) return;
  last_browsed_folder_ = folder;
  SetOutputFolder(QDir::toNativeSeparators(QFileInfo(folder).absoluteFilePath()));
}

void TForm1::SetOptionsClick() {
  form4_->show();
  form4_->raise();
  form4_->activateWindow();
}

// The guide is shown in a window of the program: it needs no browser, and a browser that
// fails to start would show nothing at all.
void TForm1::OpenHelpFileClick() {
  for (const QString& candidate : HelpFileCandidates(QCoreApplication::applicationDirPath())) {
    if (QFileInfo(candidate).isFile()) {
      dialogs_.ShowHelp(this, candidate);
      return;
    }
  }
  dialogs_.Information(this, "The help file is missing. Please re-install this software");
}

void TForm1::VisitWebSiteClick() {
  dialogs_.OpenUrl(QUrl(kWebSiteUrl));
}

void TForm1::AboutClick() {
  about_->exec();
}

// ---- the list ----

int TForm1::SelectedRow() const {
  const QModelIndexList rows = ListView1->selectionModel()->selectedRows();
  if (rows.isEmpty()) return -1;
  int first = rows.first().row();
  for (const QModelIndex& index : rows) first = std::min(first, index.row());
  return first;
}

QString TForm1::SelectedCaption() const {
  const int row = SelectedRow();
  return row < 0 ? QString() : list_.Caption(row);
}

void TForm1::ListView1SelectItem() {
  PreviewSelectionChanged(SelectedRow());
  ShowRowDetails();
}

void TForm1::ShowRowDetails() {
  const int row = SelectedRow();
  QString text;
  if (row >= 0 && row < list_.RowCount()) {
    const QString result = list_.Text(row, colProgress);
    const QString reason = list_.Reason(row);
    if (!reason.isEmpty()) {
      text = (result.isEmpty() ? QString() : result + ": ") + reason;
    } else if (!result.isEmpty()) {
      text = result;
    }
  }
  // The first line of the reason, cut to the line's width; the whole text is the tooltip.
  const QString line = LabelRowDetails->fontMetrics().elidedText(
      text.section('\n', 0, 0).trimmed(), Qt::ElideRight, LabelRowDetails->width());
  if (LabelRowDetails->text() != line) {
    LabelRowDetails->setText(line);
    LabelRowDetails->setToolTip(text);
  }
}

void TForm1::ShowListMenu(const QPoint& pos) {
  if (locked_) return;
  PopupListView1->popup(ListView1->viewport()->mapToGlobal(pos));
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ListView1 && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Delete && key->modifiers() == Qt::NoModifier) {
      ButtonRemoveFileClick();
      return true;
    }
    // Ctrl+Tab and Ctrl+Shift+Tab leave the list as Tab and Shift+Tab do.
    if ((key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) &&
        (key->modifiers() & Qt::ControlModifier)) {
      focusNextPrevChild(key->key() == Qt::Key_Tab && !(key->modifiers() & Qt::ShiftModifier));
      return true;
    }
  }
  if (watched == ListView1->viewport()) {
    switch (event->type()) {
      case QEvent::DragEnter:
      case QEvent::DragMove: {
        auto* drag = static_cast<QDropEvent*>(event);
        if (drag->mimeData()->hasUrls() && !Converting() && !AddingFiles_ && !locked_) {
          drag->acceptProposedAction();
        } else {
          drag->ignore();
        }
        return true;
      }
      case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        QList<QByteArray> paths;
        for (const QUrl& url : drop->mimeData()->urls()) {
          if (url.isLocalFile()) paths << LocalFileBytes(url);
        }
        drop->acceptProposedAction();
        if (!Converting() && !AddingFiles_ && !locked_) {
          // Probing takes a while: let the drag source finish first.
          QMetaObject::invokeMethod(
              this, [this, paths] { AddDroppedPaths(paths); }, Qt::QueuedConnection);
        }
        return true;
      }
      default:
        break;
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

// ---- the queue's window side ----

void TForm1::ShowInformation(const QString& text) {
  dialogs_.Information(this, text);
}

void TForm1::ShowError(const QString& text) {
  dialogs_.Error(this, text);
}

QString TForm1::RowCaption(int row) const {
  return row >= 0 && row < list_.RowCount() ? list_.Caption(row) : QString();
}

QByteArray TForm1::RowPath(int row) const {
  return row >= 0 && row < list_.RowCount() ? list_.Path(row) : QByteArray();
}

bool TForm1::ConfirmStop(const QString& text) {
  return dialogs_.Confirm(this, text);
}

void TForm1::SetProgressBar(int percent) {
  ProgressBar1->setValue(percent);
}

void TForm1::SetFileSizeText(const QString& text) {
  StatusPanels[1]->setText(text);
}

void TForm1::SetTimeLeftText(const QString& text) {
  StatusPanels[2]->setText(text);
}

void TForm1::SetStatusText(const QString& text) {
  StatusPanels[0]->setText(text);
}

void TForm1::ShowRunEnd(const QString& text, const QString& details) {
  // Someone at another window hears of the end from the desktop.
  if (!isActiveWindow()) {
    dialogs_.Notify(text, details.isEmpty() ? QString(kProductName) : details);
  }
  if (dialogs_.RunEnded(this, text, details)) OpenOutputFolderClick();
}

void TForm1::OpenOutputFolderClick() {
  const QString folder = OutputFolderText();
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
    ButtonBrowseForFolderClick();
    return;
  }
  dialogs_.OpenUrl(QUrl::fromLocalFile(QFileInfo(folder).absoluteFilePath()));
}

void TForm1::TerminateRequested(int status) {
  if (terminating_) return;
  terminating_ = true;
  queue_->StopRun();
  closing_ = true;
  Converter_.Stop();
  file_prober_->Stop();
  SaveSettings();
  if (keeper_) keeper_->Flush();
  PreviewClearOnClose();
  // The window's owner destroys it after the event loop: the job component then waits for the
  // stopped job, which removes its temporary output.
  QCoreApplication::exit(status);
}

void TForm1::ScrollToRow(int row) {
  ListView1->scrollTo(list_.Model().index(row, 0));
}

// ---- the preview player's places ----

void TForm1::PreviewStopForAddFile() {
  PanelPreview->StopForAddFile();
}

void TForm1::PreviewDeactivateForStart() {
  PanelPreview->DeactivateForStart();
}

void TForm1::PreviewClearOnClose() {
  PanelPreview->ClearOnClose();
}

void TForm1::PreviewSelectionChanged(int row) {
  PanelPreview->SelectionChanged(row);
}

void TForm1::PreviewPlay() {
  PanelPreview->ButtonPlayClick();
}
