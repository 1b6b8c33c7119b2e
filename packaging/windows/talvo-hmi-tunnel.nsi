; The Windows installer of the PC tool. Built by scripts/windows-installer:
;   makensis -DARCH=i686|x86_64 -DVERSION=X.Y.Z -DSRC=<out folder> -DICON=<.ico> -DOUTFILE=<setup.exe>
; It installs the tool's own files only. The TAP, capture and viewer installers the tool
; offers are the user's to place beside it (tap-windows-win7.exe, Win10Pcap\, vnc\).
Unicode true
!if "${ARCH}" == "x86_64"
  Target amd64-unicode
  !define PROGRAMS "$PROGRAMFILES64"
  !define REGVIEW 64
!else
  Target x86-unicode
  !define PROGRAMS "$PROGRAMFILES32"
  !define REGVIEW 32
!endif

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"

!define NAME "Talvo HMI Tunnel"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TalvoHmiTunnel"

Name "${NAME}"
OutFile "${OUTFILE}"
; The tool reads its language from setting_vpn.ini one folder up, so it gets a folder of
; its own inside a vendor folder that can hold that file.
InstallDir "${PROGRAMS}\Talvo\HMI Tunnel"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${NAME}"
VIAddVersionKey /LANG=1033 "FileDescription" "${NAME} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Talvo"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\talvo-hmi-tunnel.exe"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

; For every user of the machine, as the program folder is.
Function .onInit
  SetRegView ${REGVIEW}
  SetShellVarContext all
  !insertmacro MUI_LANGDLL_DISPLAY
FunctionEnd

Function un.onInit
  SetRegView ${REGVIEW}
  SetShellVarContext all
FunctionEnd

Section "Install"
  SetOutPath "$INSTDIR"
  File "${SRC}\talvo-hmi-tunnel.exe"
  File "${SRC}\pgDllTunnel.dll"
  File "${SRC}\vspdctl.dll"
  ; An edited configuration survives an update.
  SetOverwrite off
  File "${SRC}\demoTunnel.cfg"
  SetOverwrite on
  ; The installer's language becomes the tool's, unless a choice was made before.
  ${IfNot} ${FileExists} "$INSTDIR\..\setting_vpn.ini"
    ${If} $LANGUAGE == ${LANG_SIMPCHINESE}
      WriteINIStr "$INSTDIR\..\setting_vpn.ini" "Setting" "language" "cn"
    ${Else}
      WriteINIStr "$INSTDIR\..\setting_vpn.ini" "Setting" "language" "en"
    ${EndIf}
  ${EndIf}

  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateDirectory "$SMPROGRAMS\${NAME}"
  CreateShortcut "$SMPROGRAMS\${NAME}\${NAME}.lnk" "$INSTDIR\talvo-hmi-tunnel.exe" "" "$INSTDIR\talvo-hmi-tunnel.exe" 0
  CreateShortcut "$SMPROGRAMS\${NAME}\Uninstall ${NAME}.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Talvo"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\talvo-hmi-tunnel.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  Delete "$INSTDIR\talvo-hmi-tunnel.exe"
  Delete "$INSTDIR\pgDllTunnel.dll"
  Delete "$INSTDIR\vspdctl.dll"
  Delete "$INSTDIR\demoTunnel.cfg"
  ; What the tool wrote beside itself: its log, its remembered SNs and panel keys.
  Delete "$INSTDIR\knownPanels.cfg"
  Delete "$INSTDIR\log_forPcap.txt"
  Delete "$INSTDIR\log_forPcap.txt.backup"
  Delete "$INSTDIR\snlist.dat"
  Delete "$INSTDIR\cursel.dat"
  Delete "$INSTDIR\uninstall.exe"
  ; Only when empty: the installers and the viewer the user put beside the tool stay.
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${NAME}\${NAME}.lnk"
  Delete "$SMPROGRAMS\${NAME}\Uninstall ${NAME}.lnk"
  RMDir "$SMPROGRAMS\${NAME}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
