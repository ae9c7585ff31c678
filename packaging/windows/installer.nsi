; The Windows installer: the three programs in "Program Files\Q4m Updater\bin",
; Start-menu shortcuts for the two windows, and an uninstaller listed among the
; system's installed programs. "/S" installs (and uninstalls) silently.
; Built by the q4m_installer target (packaging/windows.cmake), which defines
; VERSION, STAGE (the `cmake --install` tree), ICON and OUTFILE.
Unicode true
; The programs are 64-bit only: so is the installer, which also puts its
; registry entries and files in the 64-bit places without redirection.
Target amd64-unicode

!include MUI2.nsh
!include FileFunc.nsh

!define PRODUCT "Q4m Updater"
!define VENDOR "Vexa"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define PRODUCT_KEY "Software\${VENDOR}\${PRODUCT}"
!define MENU_DIR "$SMPROGRAMS\${PRODUCT}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${PRODUCT_KEY}" "InstallDir"
RequestExecutionLevel admin
ManifestDPIAware true
SetCompressor /SOLID lzma
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "CompanyName" "${VENDOR}"
VIAddVersionKey "FileDescription" "${PRODUCT} ${VERSION} Setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Copyright (C) Vexa. All rights reserved."

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_LICENSE "${STAGE}\copyright.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Installed for every user of the machine, so the shortcuts are too.
Function .onInit
    SetShellVarContext all
FunctionEnd

Function un.onInit
    SetShellVarContext all
FunctionEnd

Section "Install"
    SetOutPath "$INSTDIR\bin"
    File "${STAGE}\bin\q4m-updater.exe"
    File "${STAGE}\bin\q4m-updater-demo.exe"
    File "${STAGE}\bin\q4m-updater-cli.exe"
    SetOutPath "$INSTDIR"
    File "${STAGE}\copyright.txt"
    WriteUninstaller "$INSTDIR\Uninstall.exe"

    CreateDirectory "${MENU_DIR}"
    CreateShortcut "${MENU_DIR}\${PRODUCT}.lnk" "$INSTDIR\bin\q4m-updater.exe"
    CreateShortcut "${MENU_DIR}\${PRODUCT} (simulated device).lnk" "$INSTDIR\bin\q4m-updater-demo.exe"
    CreateShortcut "${MENU_DIR}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\Uninstall.exe"

    WriteRegStr HKLM "${PRODUCT_KEY}" "InstallDir" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${VENDOR}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\bin\q4m-updater.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; Removes exactly what was installed, never the folder's whole contents: the
; user may have chosen a folder that holds files of their own (a saved trace,
; a flash image).
Section "Uninstall"
    Delete "$INSTDIR\bin\q4m-updater.exe"
    Delete "$INSTDIR\bin\q4m-updater-demo.exe"
    Delete "$INSTDIR\bin\q4m-updater-cli.exe"
    Delete "$INSTDIR\copyright.txt"
    Delete "$INSTDIR\Uninstall.exe"
    RMDir "$INSTDIR\bin"
    RMDir "$INSTDIR"

    Delete "${MENU_DIR}\${PRODUCT}.lnk"
    Delete "${MENU_DIR}\${PRODUCT} (simulated device).lnk"
    Delete "${MENU_DIR}\Uninstall ${PRODUCT}.lnk"
    RMDir "${MENU_DIR}"

    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DeleteRegKey HKLM "${PRODUCT_KEY}"
    DeleteRegKey /ifempty HKLM "Software\${VENDOR}"
SectionEnd
